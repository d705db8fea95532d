#include "bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "harness/run_program.h"

namespace quellmark::bench {
namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

int StatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

class Db {
public:
    explicit Db(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("cannot open " + file.string() + ": " + message);
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Db() { sqlite3_close(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw std::runtime_error("SQLite: " + message + " in " + sql);
        }
    }
    std::int64_t Integer(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db_) + " in " + sql);
        std::int64_t value = -1;
        if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace

ScratchFolder::ScratchFolder(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a folder " + pattern);
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    if (keep_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int RunProgram(const std::vector<std::string>& argvIn, const std::filesystem::path& stdoutFile,
               const std::filesystem::path& stderrFile) {
    std::vector<std::string> args = argvIn;
    std::vector<char*> argv = Argv(args);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("cannot start " + args[0]);
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        if (!stdoutFile.empty()) {
            const int fd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) ::dup2(fd, STDOUT_FILENO);
        }
        if (!stderrFile.empty()) {
            const int fd = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) ::dup2(fd, STDERR_FILENO);
        }
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("lost the child " + args[0]);
    }
    return StatusOf(status);
}

LogServerOptions ServerFor(const std::filesystem::path& dbFile, const std::filesystem::path& statsFile,
                           const std::vector<std::string>& extraArgs) {
    LogServerOptions options;
    options.database = kDatabase;
    options.user = kUser;
    options.password = kPassword;
    options.rows = std::nullopt;  // serve the prepared file as it is
    options.dbFile = dbFile;
    options.extraArgs = {"--stats", statsFile.string()};
    options.extraArgs.insert(options.extraArgs.end(), extraArgs.begin(), extraArgs.end());
    return options;
}

void PrepareLogData(const std::filesystem::path& file, std::int64_t rows, std::int64_t matching, std::uint64_t seed) {
    if (matching > rows) throw std::runtime_error("more matching rows than rows");
    std::filesystem::remove(file);
    {
        // The server seeds the file before it listens; it is not needed after that.
        LogServerOptions options;
        options.database = kDatabase;
        options.user = kUser;
        options.password = kPassword;
        options.rows = rows;
        options.seed = seed;
        options.dbFile = file;
        options.startTimeout = std::chrono::seconds(600);
        test::LogDbProcess seeding(options);
    }

    // Row k (log_id 1..rows) gets priority 7 when floor(k * m / rows) steps
    // up at k, which happens exactly m times, evenly spread.
    Db db(file);
    const std::string m = std::to_string(matching);
    const std::string n = std::to_string(rows);
    db.Exec("BEGIN");
    db.Exec("UPDATE ATR_Log SET priority = 6 WHERE priority = 7");
    db.Exec("UPDATE ATR_Log SET priority = 7 WHERE (log_id * " + m + ") / " + n + " > ((log_id - 1) * " + m + ") / " +
            n);
    db.Exec("COMMIT");
    const std::int64_t got = db.Integer("SELECT COUNT(*) FROM ATR_Log WHERE priority = 7");
    const std::int64_t total = db.Integer("SELECT COUNT(*) FROM ATR_Log");
    if (got != matching || total != rows)
        throw std::runtime_error("the prepared data holds " + std::to_string(total) + " rows, " + std::to_string(got) +
                                 " with priority 7");
}

std::int64_t CountRows(const std::filesystem::path& file, const std::string& where) {
    Db db(file);
    return db.Integer("SELECT COUNT(*) FROM ATR_Log" + (where.empty() ? std::string() : " WHERE " + where));
}

StatementStats ReadStats(const std::filesystem::path& statsFile) {
    StatementStats stats;
    std::ifstream in(statsFile);
    if (!in) throw std::runtime_error("cannot read " + statsFile.string());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::int64_t micros = 0, rows = 0;
        std::string kind;
        if (!(fields >> micros >> kind >> rows)) throw std::runtime_error("a bad statistics line: " + line);
        stats.micros += micros;
        stats.statementMicros.push_back(micros);
        if (kind == "count") {
            ++stats.counts;
            stats.countMicros += micros;
        } else if (kind == "delete") {
            ++stats.deletes;
            stats.deleteMicros += micros;
            stats.rowsDeleted += rows;
        } else {
            ++stats.others;
        }
    }
    return stats;
}

void WriteSettings(const std::filesystem::path& mdbFile, std::uint16_t port) {
    const test::RunResult r = test::RunSettingsTool(
        {"write", mdbFile.string(), "--type", "Remote SQL Authentication", "--timeout", "15", "--server", "127.0.0.1",
         "--port", std::to_string(port), "--database", kDatabase, "--user", kUser, "--password", kPassword});
    if (r.exitCode != 0) throw std::runtime_error("quellmark-settings write failed: " + r.err);
}

Summary Summarize(std::vector<double> samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size()))) - 1;
        return samples[std::min(i, samples.size() - 1)];
    };
    s.median = samples.size() % 2 == 1 ? samples[samples.size() / 2]
                                       : (samples[samples.size() / 2 - 1] + samples[samples.size() / 2]) / 2;
    s.p95 = at(0.95);
    s.p99 = at(0.99);
    s.max = samples.back();
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return s;
}

int RunMain(const char* name, int (*main)(int, char**), int argc, char** argv) {
    try {
        return main(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return 1;
    }
}

}  // namespace quellmark::bench
