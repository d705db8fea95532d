// What the log database operations need of the main window. The window
// implements it and registers its one program-wide instance; the operations
// read the statement box, write the two number boxes, report failures in the
// message box and let the window process its events during pauses.
#pragma once

#include <string>

namespace quellmark {

class WindowPort {
public:
    virtual ~WindowPort() = default;
    virtual std::string SqlQueryText() const = 0;              // txtSqlQuery
    virtual void SetCountText(const std::string& text) = 0;    // txtCount
    virtual void SetRecLeftText(const std::string& text) = 0;  // txtRecLeft
    // The modal message box: one OK button, no icon, caption "Quellmark".
    virtual void ShowMessage(const std::string& text) = 0;
    // Processes all pending window events, then returns.
    virtual void ProcessPendingEvents() = 0;
};

// The program-wide window instance; null until the window registers itself.
WindowPort* MainWindow() noexcept;
void SetMainWindow(WindowPort* window) noexcept;

}  // namespace quellmark
