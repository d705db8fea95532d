// Application locks of the log server (sp_getapplock / sp_releaseapplock):
// named resources per database, held by a session, in the five modes SQL
// Server knows, with SQL Server's compatibility between them. A request
// waits up to its time-out for the resource; a session holding a resource
// may take it again (and must give it back as many times). Everything a
// session holds goes when the session ends. Transactions do not exist on the
// log server, so only session-owned locks are granted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logdb/tsql.h"

namespace quellmark::logdb {

enum class AppLockMode { IntentShared, Shared, Update, IntentExclusive, Exclusive };

// "Shared", "Update", "IntentShared", "IntentExclusive", "Exclusive" (any
// letter case); nullopt for anything else.
std::optional<AppLockMode> AppLockModeNamed(std::string_view name);

// sp_getapplock's return values.
namespace applock {
inline constexpr int kGranted = 0;
inline constexpr int kGrantedAfterWait = 1;
inline constexpr int kTimedOut = -1;
inline constexpr int kBadCall = -999;
}  // namespace applock

class AppLocks {
public:
    using Owner = std::uint32_t;  // the session

    // Grants `resource` (compared exactly) of `database` (any letter case) to
    // `owner` in `mode`, waiting up to `timeoutMs` (0: not at all, -1: as
    // long as it takes). kGranted, kGrantedAfterWait or kTimedOut.
    int Acquire(const std::string& database, const std::string& resource, Owner owner, AppLockMode mode,
                std::int64_t timeoutMs);
    // Gives back one grant of `resource` held by `owner`; false when it holds none.
    bool Release(const std::string& database, const std::string& resource, Owner owner);
    // Gives back everything `owner` holds (its session ended).
    void ReleaseAll(Owner owner);
    // How many Acquire calls are waiting for a lock now.
    int Waiting();

private:
    struct Grant {
        Owner owner;
        AppLockMode mode;
        int count;
    };
    using Key = std::pair<std::string, std::string>;  // database in upper case, resource
    bool Compatible(const std::vector<Grant>& grants, Owner owner, AppLockMode mode) const;

    std::mutex mutex_;
    std::condition_variable released_;
    std::map<Key, std::vector<Grant>> grants_;
    int waiting_ = 0;
};

// A procedure argument: as written in EXEC (positional or @name = value) or
// as an RPC parameter, variables already replaced by their values.
struct ProcArgument {
    std::string name;  // "@Resource"; empty when positional
    bool isDefault = false;
    bool isNull = false;
    bool isInteger = false;
    std::int64_t integer = 0;
    std::string text;
};

// A call of sp_getapplock or sp_releaseapplock with its arguments bound to
// the procedure's parameters.
struct AppLockCall {
    bool release = false;  // sp_releaseapplock
    std::optional<std::string> resource;
    std::optional<std::string> mode;
    std::optional<std::string> owner;  // Transaction when not given
    std::optional<std::int64_t> timeoutMs;
    std::optional<std::string> principal;
    // Why the values cannot be used (the call then returns -999).
    std::optional<std::string> badValue;
};

// True for sp_getapplock and sp_releaseapplock, also as sys.name, dbo.name
// or master.dbo.name, in any letter case.
bool IsAppLockProcedure(std::string_view name);

// Binds arguments to parameters as T-SQL does: positional first, then by
// name. Throws SqlFailure for what SQL Server refuses before the procedure
// runs: too many arguments (Msg 8144), an unknown name (8145), a name given
// twice (8143), a positional argument after a named one (119), a required
// parameter left out (201).
AppLockCall BindAppLockCall(std::string_view procedure, const std::vector<ProcArgument>& arguments);

// Runs a bound call for session `owner` of `database`. `sessionTimeoutMs`
// (the session's LOCK_TIMEOUT) is the wait when the call gives none. The
// return value, and the message a failed call sends with it.
struct AppLockOutcome {
    int returnValue = applock::kGranted;
    std::optional<SqlMessage> message;
};
AppLockOutcome RunAppLockCall(AppLocks& locks, const AppLockCall& call, const std::string& database,
                              AppLocks::Owner owner, std::int64_t sessionTimeoutMs);

}  // namespace quellmark::logdb
