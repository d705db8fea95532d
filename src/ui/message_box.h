// The one message box of the program: modal, one OK button, no icon, the
// application title "Quellmark" as its caption.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace quellmark::ui {

void MsgBox(const QString& text, QWidget* parent = nullptr);

// Test seam: while a hook is set, MsgBox hands it the text instead of showing
// a dialog. An empty function restores the real dialog.
using MessageHook = std::function<void(const QString&)>;
void SetMessageHook(MessageHook hook);

}  // namespace quellmark::ui
