// The values every part of the data-access layer shares: a field's value and
// the error a failing operation throws with its diagnostic records. The
// providers build them without needing the connection objects.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quellmark::data_access {

// The server's message numbers for a statement that lost to another over
// locks: chosen as a deadlock victim, or its lock wait (SET LOCK_TIMEOUT) ran
// out. Nothing was changed by it, and it may be sent again.
inline constexpr long kDeadlockVictim = 1205;
inline constexpr long kLockTimeout = 1222;

// True for kDeadlockVictim and kLockTimeout.
constexpr bool IsDeadlockOrLockTimeout(long nativeError) noexcept {
    return nativeError == kDeadlockVictim || nativeError == kLockTimeout;
}

// What a failure comes from, as far as the operator (and a timer's unit,
// through quellmark-purge's exit status) must tell failures apart.
enum class FailureCause {
    Settings,        // the settings could not be read, or name no known authentication type
    Login,           // the login did not succeed: refused by the server, or not possible from here
    Trust,           // the server's certificate is not trusted, or it offers no encryption
    ConnectionLost,  // the server not reached or not answering in time, or the connection gone
    Rejected,        // the server refused the statement
    LockConflict,    // the statement lost to another over locks (deadlock victim or lock time-out)
    Internal,        // anything else: an answer that made no sense
};

// One diagnostic record: the description shown to the operator, and where the
// provider has them the SQLSTATE and the native (server) error number.
struct ErrorEntry {
    ErrorEntry(std::string description = {}, std::string sqlState = {}, long nativeError = 0,
               std::optional<FailureCause> cause = std::nullopt)
        : Description(std::move(description)), SqlState(std::move(sqlState)), NativeError(nativeError), Cause(cause) {}

    std::string Description;
    std::string SqlState;
    long NativeError = 0;
    // Set where the provider knows the cause better than a SQLSTATE tells
    // (the summary of a failed login); nullopt otherwise.
    std::optional<FailureCause> Cause;

    // The server refused the statement over locks (IsDeadlockOrLockTimeout).
    bool IsDeadlockOrLockTimeout() const noexcept;
    // The connection to the server failed or is gone (SQLSTATE class 08).
    bool IsConnectionLost() const noexcept;
    // The login or statement ran out of its time (SQLSTATE class HYT).
    bool IsTimeout() const noexcept;
};

// The exception every failing operation throws. what() is the description of
// the most telling record, which is also the last entry.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description);
    explicit Error(std::vector<ErrorEntry> entries);
    const std::vector<ErrorEntry>& Entries() const noexcept { return entries_; }

private:
    std::vector<ErrorEntry> entries_;
};

// A field value: null, text (UTF-8), an integer or a floating-point number.
struct Null {
    bool operator==(const Null&) const = default;
};
using Value = std::variant<Null, std::string, std::int64_t, double>;

bool IsNull(const Value& value) noexcept;
// The value's text form: text as it is, numbers in plain decimal, null as "".
std::string ToText(const Value& value);

}  // namespace quellmark::data_access
