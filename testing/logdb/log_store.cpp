#include "logdb/log_store.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "logdb/tsql.h"

namespace quellmark::logdb {
namespace {

// ---- Case folding for the QM_CI collation and qm_like --------------------------

locale_t FoldLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char32_t Fold(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    const locale_t locale = FoldLocale();
    return locale ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale)) : c;
}

// Decodes the next code point of UTF-8 text; invalid bytes stand for themselves.
char32_t Next(const unsigned char* s, std::size_t n, std::size_t& i) {
    const unsigned char lead = s[i];
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + static_cast<std::size_t>(extra) >= n) {
        ++i;
        return lead;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
            ++i;
            return lead;
        }
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

std::vector<char32_t> Folded(const unsigned char* s, std::size_t n) {
    std::vector<char32_t> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n;) out.push_back(Fold(Next(s, n, i)));
    return out;
}

int CompareNoCase(void*, int an, const void* av, int bn, const void* bv) {
    const auto* a = static_cast<const unsigned char*>(av);
    const auto* b = static_cast<const unsigned char*>(bv);
    auto na = static_cast<std::size_t>(an), nb = static_cast<std::size_t>(bn);
    while (na > 0 && a[na - 1] == ' ') --na;  // trailing spaces do not count
    while (nb > 0 && b[nb - 1] == ' ') --nb;
    std::size_t i = 0, j = 0;
    while (i < na && j < nb) {
        const char32_t x = Fold(Next(a, na, i));
        const char32_t y = Fold(Next(b, nb, j));
        if (x != y) return x < y ? -1 : 1;
    }
    if (i < na) return 1;
    if (j < nb) return -1;
    return 0;
}

// ---- LIKE with SQL Server's wildcards: % _ [set] [^set] [a-z] ---------------

struct PatternItem {
    enum class Kind { Any, One, Set, Literal };
    Kind kind = Kind::Literal;
    char32_t c = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;

    bool Matches(char32_t x) const {
        switch (kind) {
            case Kind::One:
                return true;
            case Kind::Literal:
                return x == c;
            case Kind::Set: {
                const bool in = std::any_of(ranges.begin(), ranges.end(),
                                            [x](const auto& r) { return x >= r.first && x <= r.second; });
                return in != negated;
            }
            case Kind::Any:
                break;
        }
        return false;
    }
};

std::vector<PatternItem> CompilePattern(const std::vector<char32_t>& p, std::optional<char32_t> escape) {
    std::vector<PatternItem> items;
    for (std::size_t i = 0; i < p.size(); ++i) {
        PatternItem item;
        const char32_t c = p[i];
        if (escape && c == *escape && i + 1 < p.size()) {
            item.c = p[++i];
        } else if (c == '%') {
            item.kind = PatternItem::Kind::Any;
        } else if (c == '_') {
            item.kind = PatternItem::Kind::One;
        } else if (c == '[') {
            std::size_t close = i + 1;
            if (close < p.size() && p[close] == '^') ++close;
            if (close < p.size()) ++close;  // a ']' right after '[' or '[^' is a member
            while (close < p.size() && p[close] != ']') ++close;
            if (close >= p.size()) {
                item.c = c;  // no closing bracket: a plain '['
            } else {
                item.kind = PatternItem::Kind::Set;
                std::size_t k = i + 1;
                if (p[k] == '^') item.negated = true, ++k;
                for (; k < close; ++k) {
                    if (k + 2 < close && p[k + 1] == '-') {
                        item.ranges.emplace_back(p[k], p[k + 2]);
                        k += 2;
                    } else {
                        item.ranges.emplace_back(p[k], p[k]);
                    }
                }
                i = close;
            }
        } else {
            item.c = c;
        }
        items.push_back(std::move(item));
    }
    return items;
}

bool MatchPattern(const std::vector<PatternItem>& pattern, const std::vector<char32_t>& text) {
    std::size_t p = 0, t = 0;
    std::size_t starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p].kind == PatternItem::Kind::Any) {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p].Matches(text[t])) {
            ++p, ++t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p].kind == PatternItem::Kind::Any) ++p;
    return p == pattern.size();
}

void LikeFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* value = sqlite3_value_text(argv[0]);
    const auto valueBytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const auto* pattern = sqlite3_value_text(argv[1]);
    const auto patternBytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[1]));
    std::optional<char32_t> escape;
    if (sqlite3_value_type(argv[2]) != SQLITE_NULL) {
        const auto* e = sqlite3_value_text(argv[2]);
        const auto n = static_cast<std::size_t>(sqlite3_value_bytes(argv[2]));
        std::size_t i = 0;
        if (n > 0) escape = Fold(Next(e, n, i));
    }
    const std::vector<PatternItem> compiled = CompilePattern(Folded(pattern, patternBytes), escape);
    sqlite3_result_int(context, MatchPattern(compiled, Folded(value, valueBytes)) ? 1 : 0);
}

// A text column compared with a number: SQL Server converts the text to int
// and fails on the first value that is not one.
void IntFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
        sqlite3_result_int64(context, sqlite3_value_int64(argv[0]));
        return;
    }
    const std::string text(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])),
                           static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    std::string_view s = text;
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) negative = s.front() == '-', s.remove_prefix(1);
    long long value = 0;
    bool ok = !s.empty() || text.find_first_not_of(' ') == std::string::npos;
    for (char c : s) {
        if (c < '0' || c > '9' || value > 2147483648LL) {
            ok = false;
            break;
        }
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (!ok || value > 2147483647LL || value < -2147483648LL) {
        const std::string message =
            "Conversion failed when converting the nvarchar value '" + text + "' to data type int.";
        sqlite3_result_error(context, message.c_str(), static_cast<int>(message.size()));
        return;
    }
    sqlite3_result_int64(context, value);
}

// 'YYYY-MM-DD hh:mm:ss' as SQL Server turns a datetime into text by default:
// 'Jan  5 2025  3:04PM'.
void DateTimeTextFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d", &y, &mo, &d, &h, &mi) != 5 || mo < 1 || mo > 12) {
        sqlite3_result_value(context, argv[0]);
        return;
    }
    static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char out[64];
    const int hour12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(out, sizeof out, "%s %2d %04d %2d:%02d%s", kMonths[static_cast<std::size_t>(mo - 1)], d, y, hour12,
                  mi, h < 12 ? "AM" : "PM");
    sqlite3_result_text(context, out, -1, SQLITE_TRANSIENT);
}

SqlFailure TranslateError(sqlite3* db) {
    const std::string message = sqlite3_errmsg(db);
    if (message.rfind("Conversion failed", 0) == 0) return SqlFailure(SqlMessage{245, 1, 16, message});
    return SqlFailure(SqlMessage{50000, 1, 16, "The log server could not run the statement: " + message});
}

// ---- Repeatable data ------------------------------------------------------------

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {  // splitmix64: the same sequence on every platform
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }

private:
    std::uint64_t state_;
};

constexpr std::array<const char*, 36> kLabels = {
    "switch-01",    "switch-02",    "switch-03",   "switch-04",     "switch-05",     "switch-06",
    "switch-07",    "switch-08",    "switch-09",   "switch-10",     "switch-11",     "switch-12",
    "router-01",    "router-02",    "router-03",   "router-04",     "router-05",     "router-06",
    "fw-01",        "fw-02",        "fw-03",       "fw-04",         "ap-lobby-01",   "ap-lobby-02",
    "ap-floor2-01", "ap-floor3-01", "ups-01",      "ups-02",        "srv-db-01",     "srv-web-01",
    "srv-web-02",   "nas-01",       "core-Zürich", "edge-Zürich-2", "branch-Köln-1", "lab-switch-01",
};

struct Trap {
    const char* oid;
    const char* ent;
    const char* message;  // %d: a number, %s: the device
    int weight;
};

constexpr std::array<Trap, 12> kTraps = {{
    {"linkUp", "snmpTraps", "Interface GigabitEthernet0/%d on %s is up", 20},
    {"linkDown", "snmpTraps", "Interface GigabitEthernet0/%d on %s is down", 18},
    {"coldStart", "snmpTraps", "%s restarted (cold start), uptime reset after %d s", 4},
    {"warmStart", "snmpTraps", "%s reinitialised (warm start) after %d s", 4},
    {"authenticationFailure", "snmpTraps", "SNMP authentication failure on %s from 10.0.%d.1", 8},
    {"ciscoEnvMonTemperatureNotification", "ciscoEnvMon", "Temperature Threshold exceeded: %d C on %s", 8},
    {"cpmCPURisingThreshold", "cisco", "CPU Rising Threshold crossed: %d%% busy on %s", 10},
    {"bgpBackwardTransition", "cisco", "BGP peer 192.0.2.%d on %s left the Established state", 5},
    {"entConfigChange", "cisco", "Configuration changed on %s (revision %d)", 6},
    {"upsOnBattery", "apc", "UPS %s on battery, %d minutes remaining", 4},
    {"upsBatteryLow", "apc", "UPS %s battery below Threshold: %d%%", 3},
    {"fgTrapCpuHighThreshold", "fortinet", "Firewall %s CPU usage %d%% above Threshold", 10},
}};

constexpr std::array<int, 7> kPriorityWeights = {2, 3, 8, 12, 20, 25, 30};  // priority 1 .. 7

template <class Weights>
std::size_t Weighted(Random& random, const Weights& weights) {
    int total = 0;
    for (int w : weights) total += w;
    int pick = static_cast<int>(random.Below(static_cast<std::uint64_t>(total)));
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (pick < weights[i]) return i;
        pick -= weights[i];
    }
    return weights.size() - 1;
}

std::chrono::sys_seconds ParseDay(const std::string& text) {
    int y = 0, m = 0, d = 0;
    using namespace std::chrono;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3)
        throw StoreError("the end date must be written YYYY-MM-DD, not '" + text + "'");
    const year_month_day day{year{y}, month{static_cast<unsigned>(m)}, std::chrono::day{static_cast<unsigned>(d)}};
    if (!day.ok()) throw StoreError("the end date " + text + " is not a calendar date");
    return sys_seconds{sys_days{day}.time_since_epoch()};
}

std::string FormatTime(std::chrono::sys_seconds t) {
    using namespace std::chrono;
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const auto rest = t - sys_seconds{day.time_since_epoch()};
    const long s = static_cast<long>(rest.count());
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02u-%02u %02ld:%02ld:%02ld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), s / 3600, (s / 60) % 60,
                  s % 60);
    return out;
}

}  // namespace

SqliteDb::SqliteDb(const std::string& path) {
    const std::string name = path.empty() ? ":memory:" : path;
    if (sqlite3_open_v2(name.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreError("cannot open the database " + name + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

void SqliteDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw StoreError("SQLite: " + message);
    }
}

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
        throw TranslateError(db);
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

LogStore::LogStore(const std::string& file, std::optional<std::int64_t> rows, const SeedOptions& seed) : db_(file) {
    sqlite3* db = db_.Get();
    constexpr int kText = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    if (sqlite3_create_collation(db, "QM_CI", SQLITE_UTF8, nullptr, CompareNoCase) != SQLITE_OK ||
        sqlite3_create_function(db, "qm_like", 3, kText, nullptr, LikeFunction, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_create_function(db, "qm_int", 1, kText, nullptr, IntFunction, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_create_function(db, "qm_datetime_text", 1, kText, nullptr, DateTimeTextFunction, nullptr, nullptr) !=
            SQLITE_OK)
        throw StoreError(std::string("cannot register the SQL functions: ") + sqlite3_errmsg(db));
    if (rows) {
        if (*rows < 0) throw StoreError("the number of rows cannot be negative");
        Seed(*rows, seed);
    } else {
        db_.Exec(
            "CREATE TABLE IF NOT EXISTS ATR_Log (log_id INTEGER PRIMARY KEY, priority INTEGER NOT NULL, "
            "time TEXT NOT NULL, label TEXT COLLATE NOCASE, ent TEXT COLLATE NOCASE, oid TEXT COLLATE NOCASE, "
            "message TEXT COLLATE NOCASE)");
    }
}

void LogStore::Seed(std::int64_t rows, const SeedOptions& options) {
    const std::chrono::sys_seconds end = ParseDay(options.endDate);
    constexpr std::int64_t kSpan = 60LL * 86400;
    Random random(options.seed);
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(rows));
    for (std::int64_t& o : offsets) o = static_cast<std::int64_t>(random.Below(kSpan)) + 1;
    std::sort(offsets.begin(), offsets.end(), std::greater<>());  // log_id grows with time

    db_.Exec("DROP TABLE IF EXISTS ATR_Log");
    db_.Exec(
        "CREATE TABLE ATR_Log (log_id INTEGER PRIMARY KEY, priority INTEGER NOT NULL, "
        "time TEXT NOT NULL, label TEXT COLLATE NOCASE, ent TEXT COLLATE NOCASE, oid TEXT COLLATE NOCASE, "
        "message TEXT COLLATE NOCASE)");
    db_.Exec("BEGIN");
    try {
        SqliteStatement insert(db_.Get(),
                               "INSERT INTO ATR_Log (priority, time, label, ent, oid, message) VALUES (?,?,?,?,?,?)");
        std::array<int, kTraps.size()> trapWeights{};
        for (std::size_t i = 0; i < kTraps.size(); ++i) trapWeights[i] = kTraps[i].weight;
        char message[256];
        for (std::int64_t offset : offsets) {
            const Trap& trap = kTraps[Weighted(random, trapWeights)];
            const char* label = kLabels[random.Below(kLabels.size())];
            const int priority = static_cast<int>(Weighted(random, kPriorityWeights)) + 1;
            const int number = static_cast<int>(random.Below(96)) + 1;
            const bool labelFirst = std::strstr(trap.message, "%s") < std::strstr(trap.message, "%d");
            if (labelFirst) {
                std::snprintf(message, sizeof message, trap.message, label, number);
            } else {
                std::snprintf(message, sizeof message, trap.message, number, label);
            }
            const std::string time = FormatTime(end - std::chrono::seconds{offset});
            sqlite3_stmt* s = insert.Get();
            sqlite3_bind_int(s, 1, priority);
            sqlite3_bind_text(s, 2, time.c_str(), static_cast<int>(time.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 3, label, -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 4, trap.ent, -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 5, trap.oid, -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 6, message, -1, SQLITE_TRANSIENT);
            if (sqlite3_step(s) != SQLITE_DONE) throw StoreError(std::string("SQLite: ") + sqlite3_errmsg(db_.Get()));
            sqlite3_reset(s);
        }
        db_.Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t LogStore::Count(const std::string& sql) {
    std::lock_guard lock(mutex_);
    SqliteStatement statement(db_.Get(), sql);
    const int rc = sqlite3_step(statement.Get());
    if (rc != SQLITE_ROW) throw TranslateError(db_.Get());
    return sqlite3_column_int64(statement.Get(), 0);
}

std::int64_t LogStore::CountMatching(const std::string& where) {
    return Count("SELECT COUNT(*) FROM \"ATR_Log\"" + (where.empty() ? std::string() : " WHERE " + where));
}

std::vector<LogStore::Row> LogStore::Rows(const std::string& where, std::optional<std::int64_t> limit) {
    std::string sql = "SELECT log_id, priority, time, label, ent, oid, message FROM \"ATR_Log\"";
    if (!where.empty()) sql += " WHERE " + where;
    sql += " ORDER BY log_id";
    if (limit) sql += " LIMIT " + std::to_string(*limit);
    std::lock_guard lock(mutex_);
    SqliteStatement statement(db_.Get(), sql);
    sqlite3_stmt* stmt = statement.Get();
    const auto text = [stmt](int column) -> std::optional<std::string> {
        const unsigned char* value = sqlite3_column_text(stmt, column);
        if (!value) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(value),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
    };
    std::vector<Row> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        Row row;
        row.logId = sqlite3_column_int64(stmt, 0);
        row.priority = sqlite3_column_int64(stmt, 1);
        row.time = text(2).value_or(std::string());
        row.label = text(3);
        row.ent = text(4);
        row.oid = text(5);
        row.message = text(6);
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) throw TranslateError(db_.Get());
    return rows;
}

std::int64_t LogStore::Delete(const std::string& where, std::optional<std::int64_t> limit) {
    std::string sql = "DELETE FROM \"ATR_Log\"";
    const std::string condition = where.empty() ? std::string() : " WHERE " + where;
    if (limit) {
        sql += " WHERE rowid IN (SELECT rowid FROM \"ATR_Log\"" + condition + " LIMIT " + std::to_string(*limit) + ")";
    } else {
        sql += condition;
    }
    std::lock_guard lock(mutex_);
    SqliteStatement statement(db_.Get(), sql);
    if (sqlite3_step(statement.Get()) != SQLITE_DONE) throw TranslateError(db_.Get());
    return sqlite3_changes64(db_.Get());
}

void LogStore::Insert(const std::string& label, std::int64_t rows) {
    std::lock_guard lock(mutex_);
    SqliteStatement insert(db_.Get(),
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) "
                           "INSERT INTO ATR_Log (priority, time, label, ent, oid, message) "
                           "SELECT 1, '2026-01-01 00:00:00', ?2, 'snmpTraps', 'linkUp', 'Link up' FROM n");
    sqlite3_bind_int64(insert.Get(), 1, rows);
    sqlite3_bind_text(insert.Get(), 2, label.c_str(), static_cast<int>(label.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert.Get()) != SQLITE_DONE) throw TranslateError(db_.Get());
}

std::int64_t LogStore::Append(const std::string& sql, const std::string& database) {
    std::lock_guard lock(mutex_);
    SqliteStatement insert(db_.Get(), sql);
    if (sqlite3_step(insert.Get()) == SQLITE_DONE) return sqlite3_changes64(db_.Get());
    const std::string message = sqlite3_errmsg(db_.Get());
    const std::string notNull = "NOT NULL constraint failed: ATR_Log.";
    if (message.rfind(notNull, 0) == 0)
        throw SqlFailure(SqlMessage{515, 2, 16,
                                    "Cannot insert the value NULL into column '" + message.substr(notNull.size()) +
                                        "', table '" + database +
                                        ".dbo.ATR_Log'; column does not allow nulls. INSERT fails."});
    throw TranslateError(db_.Get());
}

LogStore::TableLock LogStore::AskForTable() {
    const std::lock_guard lock(tableMutex_);
    tableQueue_.push_back(nextRequest_);
    return TableLock(*this, nextRequest_++);
}

bool LogStore::TableLock::WaitFor(std::chrono::milliseconds wait) {
    std::unique_lock lock(store_->tableMutex_);
    return store_->tableFreed_.wait_for(lock, wait, [&] { return store_->tableQueue_.front() == id_; });
}

LogStore::TableLock::~TableLock() {
    if (!store_) return;
    {
        const std::lock_guard lock(store_->tableMutex_);
        store_->tableQueue_.remove(id_);
    }
    store_->tableFreed_.notify_all();
}

LogStore::Transaction::Transaction(LogStore& store, TableLock table)
    : store_(store), table_(std::move(table)), lock_(store.mutex_) {
    store_.db_.Exec("BEGIN");
}

LogStore::Transaction::~Transaction() {
    if (open_) sqlite3_exec(store_.db_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void LogStore::Transaction::Commit() {
    store_.db_.Exec("COMMIT");
    open_ = false;
}

}  // namespace quellmark::logdb
