#include "ui/message_box.h"

#include <QMessageBox>
#include <utility>

namespace quellmark::ui {
namespace {
MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}
}  // namespace

void MsgBox(const QString& text, QWidget* parent) {
    if (const MessageHook& hook = Hook()) {
        hook(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quellmark"), text, QMessageBox::Ok, parent);
    // Assistive technology announces the box as an alert named by its
    // caption; the message is its description, so the alert alone says it.
    box.setAccessibleDescription(text);
    box.exec();
}

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

}  // namespace quellmark::ui
