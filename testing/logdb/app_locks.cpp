#include "logdb/app_locks.h"

#include <algorithm>
#include <array>

#include "base/text.h"

namespace quellmark::logdb {
namespace {

constexpr std::array<std::pair<AppLockMode, std::string_view>, 5> kModes = {{
    {AppLockMode::IntentShared, "IntentShared"},
    {AppLockMode::Shared, "Shared"},
    {AppLockMode::Update, "Update"},
    {AppLockMode::IntentExclusive, "IntentExclusive"},
    {AppLockMode::Exclusive, "Exclusive"},
}};

// Whether a grant in the row's mode lets a request in the column's mode in,
// in the order of AppLockMode: IS, S, U, IX, X.
constexpr bool kCompatible[5][5] = {
    {true, true, true, true, false},      // IS
    {true, true, true, false, false},     // S
    {true, true, false, false, false},    // U
    {true, false, false, true, false},    // IX
    {false, false, false, false, false},  // X
};

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

struct Parameter {
    const char* name;
    bool required;
};
constexpr std::array<Parameter, 5> kGetParameters = {{{"@Resource", true},
                                                      {"@LockMode", true},
                                                      {"@LockOwner", false},
                                                      {"@LockTimeout", false},
                                                      {"@DbPrincipal", false}}};
constexpr std::array<Parameter, 3> kReleaseParameters = {
    {{"@Resource", true}, {"@LockOwner", false}, {"@DbPrincipal", false}}};

std::string_view BareName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string TextOf(const ProcArgument& a) { return a.isInteger ? std::to_string(a.integer) : a.text; }

}  // namespace

std::optional<AppLockMode> AppLockModeNamed(std::string_view name) {
    for (const auto& [mode, text] : kModes)
        if (base::EqualsIgnoreCase(name, text)) return mode;
    return std::nullopt;
}

bool AppLocks::Compatible(const std::vector<Grant>& grants, Owner owner, AppLockMode mode) const {
    return std::all_of(grants.begin(), grants.end(), [&](const Grant& g) {
        return g.owner == owner || kCompatible[static_cast<int>(g.mode)][static_cast<int>(mode)];
    });
}

int AppLocks::Acquire(const std::string& database, const std::string& resource, Owner owner, AppLockMode mode,
                      std::int64_t timeoutMs) {
    const Key key{UpperAscii(database), resource};
    std::unique_lock<std::mutex> lock(mutex_);
    bool waited = false;
    struct Waiter {
        int& waiting;
        bool counted = false;
        ~Waiter() {
            if (counted) --waiting;
        }
    } waiter{waiting_};
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(timeoutMs, 0));
    while (!Compatible(grants_[key], owner, mode)) {
        if (timeoutMs == 0) return applock::kTimedOut;
        waited = true;
        if (!waiter.counted) ++waiting_, waiter.counted = true;
        if (timeoutMs < 0) {
            released_.wait(lock);
        } else if (released_.wait_until(lock, deadline) == std::cv_status::timeout &&
                   !Compatible(grants_[key], owner, mode)) {
            return applock::kTimedOut;
        }
    }
    std::vector<Grant>& grants = grants_[key];
    const auto own =
        std::find_if(grants.begin(), grants.end(), [&](const Grant& g) { return g.owner == owner && g.mode == mode; });
    if (own != grants.end()) {
        ++own->count;
    } else {
        grants.push_back({owner, mode, 1});
    }
    return waited ? applock::kGrantedAfterWait : applock::kGranted;
}

int AppLocks::Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

bool AppLocks::Release(const std::string& database, const std::string& resource, Owner owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = grants_.find(Key{UpperAscii(database), resource});
    if (found == grants_.end()) return false;
    std::vector<Grant>& grants = found->second;
    // The latest grant of the owner goes first.
    const auto own = std::find_if(grants.rbegin(), grants.rend(), [&](const Grant& g) { return g.owner == owner; });
    if (own == grants.rend()) return false;
    if (--own->count == 0) grants.erase(std::next(own).base());
    if (grants.empty()) grants_.erase(found);
    released_.notify_all();
    return true;
}

void AppLocks::ReleaseAll(Owner owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = grants_.begin(); it != grants_.end();) {
        std::erase_if(it->second, [&](const Grant& g) { return g.owner == owner; });
        it = it->second.empty() ? grants_.erase(it) : std::next(it);
    }
    released_.notify_all();
}

bool IsAppLockProcedure(std::string_view name) {
    const std::string_view bare = BareName(name);
    if (!base::EqualsIgnoreCase(bare, "sp_getapplock") && !base::EqualsIgnoreCase(bare, "sp_releaseapplock"))
        return false;
    const std::string_view schema = name.substr(0, name.size() - bare.size());
    return schema.empty() || base::EqualsIgnoreCase(schema, "sys.") || base::EqualsIgnoreCase(schema, "dbo.") ||
           base::EqualsIgnoreCase(schema, "master.dbo.") || base::EqualsIgnoreCase(schema, "master.sys.") ||
           base::EqualsIgnoreCase(schema, "master..");
}

AppLockCall BindAppLockCall(std::string_view procedure, const std::vector<ProcArgument>& arguments) {
    AppLockCall call;
    call.release = base::EqualsIgnoreCase(BareName(procedure), "sp_releaseapplock");
    const std::string proc = call.release ? "sp_releaseapplock" : "sp_getapplock";
    const Parameter* params = call.release ? kReleaseParameters.data() : kGetParameters.data();
    const std::size_t count = call.release ? kReleaseParameters.size() : kGetParameters.size();
    std::vector<const ProcArgument*> bound(count, nullptr);
    bool named = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const ProcArgument& a = arguments[i];
        std::size_t slot = count;
        if (a.name.empty()) {
            if (named)
                throw SqlFailure(SqlMessage{119, 1, 15,
                                            "Must pass parameter number " + std::to_string(i + 1) +
                                                " and subsequent parameters as '@name = value'. After the form "
                                                "'@name = value' has been used, all subsequent parameters must be "
                                                "passed in the form '@name = value'."});
            if (i >= count)
                throw SqlFailure(
                    SqlMessage{8144, 2, 16, "Procedure or function " + proc + " has too many arguments specified."});
            slot = i;
        } else {
            named = true;
            for (std::size_t p = 0; p < count; ++p)
                if (base::EqualsIgnoreCase(a.name, params[p].name)) slot = p;
            if (slot == count)
                throw SqlFailure(SqlMessage{8145, 2, 16, a.name + " is not a parameter for procedure " + proc + "."});
            if (bound[slot])
                throw SqlFailure(SqlMessage{
                    8143, 1, 16, "Parameter '" + std::string(params[slot].name) + "' was supplied multiple times."});
        }
        bound[slot] = &a;
    }
    for (std::size_t p = 0; p < count; ++p)
        if (params[p].required && (!bound[p] || bound[p]->isDefault))
            throw SqlFailure(SqlMessage{201, 4, 16,
                                        "Procedure or function '" + proc + "' expects parameter '" + params[p].name +
                                            "', which was not supplied."});
    const auto value = [&](const char* name) -> const ProcArgument* {
        for (std::size_t p = 0; p < count; ++p)
            if (std::string_view(params[p].name) == name) return bound[p] && !bound[p]->isDefault ? bound[p] : nullptr;
        return nullptr;
    };
    const auto text = [&](const char* name, std::optional<std::string>& into) {
        const ProcArgument* a = value(name);
        if (!a) return;
        if (a->isNull) {
            call.badValue = std::string(name) + " is null.";
            return;
        }
        into = TextOf(*a);
    };
    text("@Resource", call.resource);
    text("@LockMode", call.mode);
    text("@LockOwner", call.owner);
    text("@DbPrincipal", call.principal);
    if (const ProcArgument* t = value("@LockTimeout")) {
        std::optional<std::int64_t> ms;
        if (t->isInteger) {
            ms = t->integer;
        } else if (!t->isNull) {
            try {
                std::size_t used = 0;
                ms = std::stoll(t->text, &used);
                if (t->text.find_first_not_of(" ", used) != std::string::npos) ms.reset();
            } catch (const std::exception&) {
            }
        }
        if (!ms || *ms < -1 || *ms > 2147483647)
            call.badValue = "@LockTimeout must be -1 (wait as long as it takes) or a number of milliseconds.";
        call.timeoutMs = ms;
    }
    return call;
}

AppLockOutcome RunAppLockCall(AppLocks& locks, const AppLockCall& call, const std::string& database,
                              AppLocks::Owner owner, std::int64_t sessionTimeoutMs) {
    const auto bad = [](const std::string& why) {
        return AppLockOutcome{applock::kBadCall, SqlMessage{50000, 1, 16, "The application lock call failed: " + why}};
    };
    if (call.badValue) return bad(*call.badValue);
    const std::string resource = call.resource.value_or("");
    if (resource.empty() || resource.size() > 255) return bad("@Resource must hold 1 to 255 characters.");
    const std::string principal = call.principal.value_or("public");
    if (!base::EqualsIgnoreCase(principal, "public") && !base::EqualsIgnoreCase(principal, "dbo"))
        return bad("the database principal '" + principal + "' does not exist.");
    const std::string lockOwner = call.owner.value_or("Transaction");
    if (base::EqualsIgnoreCase(lockOwner, "Transaction"))
        return bad("the log server has no transactions; only @LockOwner = 'Session' locks are granted.");
    if (!base::EqualsIgnoreCase(lockOwner, "Session"))
        return bad("@LockOwner must be 'Transaction' or 'Session', not '" + lockOwner + "'.");
    if (call.release) {
        if (locks.Release(database, resource, owner)) return {};
        return AppLockOutcome{applock::kBadCall,
                              SqlMessage{1223, 1, 16,
                                         "Cannot release the application lock (Database Principal: '" + principal +
                                             "', Resource: '" + resource + "') because it is not currently held."}};
    }
    const std::optional<AppLockMode> mode = AppLockModeNamed(call.mode.value_or(""));
    if (!mode)
        return bad("'" + call.mode.value_or("") +
                   "' is not a lock mode (Shared, Update, IntentShared, IntentExclusive, Exclusive).");
    return AppLockOutcome{locks.Acquire(database, resource, owner, *mode, call.timeoutMs.value_or(sessionTimeoutMs)),
                          std::nullopt};
}

}  // namespace quellmark::logdb
