// What the log database operations need of the window they serve. The
// operations read the statement box, write the two number boxes, report
// failures in the message box, let the window process its events during
// pauses and ask it whether Cancel was pressed. Each operation is given its
// window as an argument; the main window passes itself.
#pragma once

#include <string>

namespace quellmark::ops {

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
    // Whether Cancel was pressed since the request was last cleared; a
    // deletion run clears it when it starts and asks after each pause.
    virtual bool CancelRequested() const = 0;
    virtual void ClearCancelRequest() = 0;
};

}  // namespace quellmark::ops
