// A failure of an operation on the log database as both front ends take it:
// its cause, the error list it came with, the server's message number and the
// words the operator is shown. The window shows the words in its message box;
// quellmark-purge shows them and turns the cause into its exit status.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "data_access/value_types.h"

namespace quellmark::ops {

using data_access::FailureCause;

class Failure : public std::runtime_error {
public:
    Failure(FailureCause cause, const std::string& text, long number = 0,
            std::vector<data_access::ErrorEntry> entries = {})
        : std::runtime_error(text), cause_(cause), number_(number), entries_(std::move(entries)) {}
    FailureCause Cause() const noexcept { return cause_; }
    // The server's message number (1205, 1222, 207, ...); 0 when none.
    long Number() const noexcept { return number_; }
    // The connection's error list; empty when the failure was found here.
    const std::vector<data_access::ErrorEntry>& Entries() const noexcept { return entries_; }
    // A deadlock victim or a lock time-out: nothing was changed, and it is
    // worth sending again.
    bool Retryable() const noexcept { return cause_ == FailureCause::LockConflict; }
    // The server answered with a refusal: the statement changed nothing.
    bool RefusedByServer() const noexcept {
        return cause_ == FailureCause::Rejected || cause_ == FailureCause::LockConflict;
    }

private:
    FailureCause cause_;
    long number_;
    std::vector<data_access::ErrorEntry> entries_;
};

// What was being done when an error list was left.
enum class FailedStep {
    Settings,   // reading the settings, or making the connection string of them
    Login,      // opening the connection
    Statement,  // a statement on the open connection
};

// The failure an error list tells of, in `text` (the last entry's
// description when empty). Reading the settings: Settings. Otherwise the
// cause the last entry carries; a last entry saying the connection is lost
// or timed out: ConnectionLost; at a login, anything else: Login. For a
// statement: a deadlock or lock time-out in any entry: LockConflict with its
// number; a server's message number: Rejected with the first; else Internal.
Failure ClassifyFailure(std::vector<data_access::ErrorEntry> entries, FailedStep step, std::string text = {});

}  // namespace quellmark::ops
