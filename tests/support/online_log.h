// A log server and the settings file that points the operations at it, for
// tests that run counts and deletion runs end to end through FreeTDS.
//
//   OnlineLog log({.rows = 3000});
//   log.Mark("purge-me", 2000);            // 2000 rows with a known label
//   log.UseSettings();                     // Sarnwick.mdb -> this server
//   ops::DeleteRecordsInChunks(window, log.SettingsConnString());
//   EXPECT_EQ(log.server.CountRows("label = 'purge-me'"), 0);
//
// Header-only: whoever includes it links the ops library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/logdb_process.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "ops/settings_file.h"

namespace quellmark::test {

// A server for database Sarnwick, user ops, with the rows and switches given.
inline LogDbOptions SarnwickServer(std::int64_t rows = 1000, std::uint64_t seed = 1,
                                   std::vector<std::string> extraArgs = {}, std::string password = "s3cret;pw") {
    LogDbOptions options;
    options.database = "Sarnwick";
    options.user = "ops";
    options.password = std::move(password);
    options.rows = rows;
    options.seed = seed;
    options.extraArgs = std::move(extraArgs);
    return options;
}

class OnlineLog {
public:
    explicit OnlineLog(LogDbOptions options = SarnwickServer()) : server(std::move(options)) {}

    LogDbProcess server;
    ScratchDir dir{"online"};

    std::filesystem::path SettingsFile() const { return dir / std::string(ops::kSettingsFileName); }

    // A change's value that leaves the option out, so the column holds null.
    static constexpr const char* kNull = "<null>";

    // The settings row for Remote SQL Authentication to this server, with
    // the given options replacing, adding to or (value kNull) removing from
    // it: {"--password", "wrong"}, {"--port", OnlineLog::kNull}.
    std::vector<std::string> RemoteSettings(const std::vector<std::string>& changes = {}) const {
        std::vector<std::string> args = {"--type",     "Remote SQL Authentication",
                                         "--timeout",  "5",
                                         "--server",   "127.0.0.1",
                                         "--port",     std::to_string(server.Port()),
                                         "--database", server.Options().database,
                                         "--user",     server.Options().user,
                                         "--password", server.Options().password};
        for (std::size_t i = 0; i + 1 < changes.size(); i += 2) {
            bool replaced = false;
            for (std::size_t j = 0; j + 1 < args.size(); j += 2) {
                if (args[j] == changes[i]) {
                    args[j + 1] = changes[i + 1];
                    replaced = true;
                }
            }
            if (!replaced) args.insert(args.end(), {changes[i], changes[i + 1]});
        }
        std::vector<std::string> written;
        for (std::size_t j = 0; j + 1 < args.size(); j += 2) {
            if (args[j + 1] == kNull) continue;
            written.insert(written.end(), {args[j], args[j + 1]});
        }
        return written;
    }

    // Writes Sarnwick.mdb, which SettingsConnString() names.
    void UseSettings(const std::vector<std::string>& changes = {}) const {
        WriteSettingsFile(SettingsFile(), RemoteSettings(changes));
    }

    // The connection string the operations read Sarnwick.mdb through.
    std::string SettingsConnString() const { return ops::SettingsConnStringForFile(SettingsFile()); }

    std::int64_t Mark(const std::string& label, std::int64_t rows) const { return server.Mark(label, rows); }
};

}  // namespace quellmark::test
