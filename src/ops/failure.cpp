#include "ops/failure.h"

#include <algorithm>
#include <optional>

namespace quellmark::ops {

using data_access::ErrorEntry;

namespace {

FailureCause CauseOf(const std::vector<ErrorEntry>& entries, FailedStep step, long& number) {
    if (step == FailedStep::Settings) return FailureCause::Settings;
    if (entries.empty()) return FailureCause::Internal;
    const ErrorEntry& last = entries.back();
    if (last.Cause) return *last.Cause;
    if (last.IsConnectionLost() || last.IsTimeout()) return FailureCause::ConnectionLost;
    if (step == FailedStep::Login) return FailureCause::Login;
    const auto lock = std::find_if(entries.begin(), entries.end(),
                                   [](const ErrorEntry& entry) { return entry.IsDeadlockOrLockTimeout(); });
    if (lock != entries.end()) {
        number = lock->NativeError;
        return FailureCause::LockConflict;
    }
    const auto numbered =
        std::find_if(entries.begin(), entries.end(), [](const ErrorEntry& entry) { return entry.NativeError > 0; });
    if (numbered == entries.end()) return FailureCause::Internal;
    number = numbered->NativeError;
    return FailureCause::Rejected;
}

}  // namespace

Failure ClassifyFailure(std::vector<ErrorEntry> entries, FailedStep step, std::string text) {
    long number = 0;
    const FailureCause cause = CauseOf(entries, step, number);
    if (text.empty())
        text = entries.empty() ? std::string("The statement failed without a reason.") : entries.back().Description;
    return Failure(cause, text, number, std::move(entries));
}

}  // namespace quellmark::ops
