#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>
#include <stdexcept>

namespace quellmark::bench {

void ParseOptions(int argc, char** argv, DataOptions& data, const char* usage, const OwnOption& own) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::function<long long()> value = [&]() -> long long {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return std::stoll(argv[++i]);
        };
        if (arg == "--rows") {
            data.rows = value();
        } else if (arg == "--matching") {
            data.matching = value();
        } else if (arg == "--chunk") {
            data.chunk = static_cast<int>(value());
        } else if (arg == "--seed") {
            data.seed = static_cast<std::uint64_t>(value());
        } else if (!own(arg, value)) {
            throw std::runtime_error(usage);
        }
    }
}

void RequireRowsAndChunk(const DataOptions& data) {
    if (data.rows < 1 || data.matching < 1 || data.matching > data.rows || data.chunk < 1)
        throw std::runtime_error("need 1 <= matching <= rows and chunk >= 1");
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
    const std::string m = std::to_string(matching);
    const std::string n = std::to_string(rows);
    test::RunSqlite(file,
                    "BEGIN; UPDATE ATR_Log SET priority = 6 WHERE priority = 7; "
                    "UPDATE ATR_Log SET priority = 7 WHERE (log_id * " +
                        m + ") / " + n + " > ((log_id - 1) * " + m + ") / " + n + "; COMMIT;",
                    false);
    const std::int64_t got = test::CountLogRows(file, "priority = 7");
    const std::int64_t total = test::CountLogRows(file);
    if (got != matching || total != rows)
        throw std::runtime_error("the prepared data holds " + std::to_string(total) + " rows, " + std::to_string(got) +
                                 " with priority 7");
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
