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
    box.exec();
}

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

}  // namespace quellmark::ui
