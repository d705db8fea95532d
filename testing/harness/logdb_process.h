// Runs quellmark-logdb, the test log server, as a child process for one test.
//
//   LogDbProcess server({.rows = 5000, .seed = 7});
//   connect with server.OdbcConnectionString() ...
//   EXPECT_EQ(server.CountRows("priority = 7"), ...);
//
// The server listens on a free port of 127.0.0.1 and keeps its data in a
// SQLite file (DbFile()), which CountRows reads directly, so a test can check
// exactly which rows remain. The destructor kills the server (SIGKILL).
//
// Unless told otherwise (pinned = false, or a --cert of its own), the server
// presents the harness's certificate, which is pinned for "127.0.0.1,PORT"
// and "localhost,PORT" in the trust folder Quellmark reads: the one
// QUELLMARK_TRUST_DIR names, or else a scratch folder of the harness that
// QUELLMARK_TRUST_DIR is then set to for the rest of the process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark::test {

class ScratchDir;

struct LogDbOptions {
    std::string database = "logs";
    std::string user = "u";
    std::string password = "p";
    std::optional<std::int64_t> rows = 1000;  // nullopt: no --rows (serve an existing file as it is)
    std::uint64_t seed = 1;
    std::optional<std::filesystem::path> dbFile;  // default: a file in a scratch folder of this object
    std::vector<std::string> extraArgs;           // e.g. {"--delay-ms", "500"}, {"--encryption", "none"}
    std::chrono::seconds startTimeout{60};        // seeding many rows takes a while
    bool wireLog = false;                         // record what the server receives (Received())
    bool statementLog = false;                    // record the batches each connection sends (Sessions())
    bool loginLog = false;                        // record the LOGIN7 requests it receives (Logins())
    bool pinned = true;                           // present the harness's certificate, pinned (see above)
};

using Bytes = std::vector<std::uint8_t>;

// What one logged-in connection sent, as the server's statement log has it.
struct LoggedSession {
    std::vector<std::string> batches;  // each batch's text, in order
    std::string end;                   // "left" (the client closed it), "dropped" (the server did) or "" (open)
};

class LogDbProcess {
public:
    // Starts the server and waits (at most startTimeout) for its "listening on" line;
    // throws std::runtime_error when it does not come.
    explicit LogDbProcess(LogDbOptions options = {});
    ~LogDbProcess();
    LogDbProcess(const LogDbProcess&) = delete;
    LogDbProcess& operator=(const LogDbProcess&) = delete;

    std::uint16_t Port() const noexcept { return port_; }
    // The SHA-256 fingerprint of its certificate, from its start-up line.
    const std::string& Sha256() const noexcept { return sha256_; }
    pid_t Pid() const noexcept { return pid_; }
    const std::filesystem::path& DbFile() const noexcept { return dbFile_; }
    const LogDbOptions& Options() const noexcept { return options_; }

    // "Driver=FreeTDS;Server=127.0.0.1;Port=...;Database=...;UID=...;PWD=...;TDS_Version=7.4"
    std::string OdbcConnectionString() const;

    // Rows of ATR_Log matching `sqliteWhere` (SQLite syntax; empty: all rows),
    // read from the database file directly.
    std::int64_t CountRows(const std::string& sqliteWhere = "") const;

    // Gives the first `rows` rows (by log_id) the label `label` and returns
    // how many rows now carry it. The server sees the change at its next
    // statement.
    std::int64_t Mark(const std::string& label, std::int64_t rows) const;

    // Every row of ATR_Log matching `sqliteWhere` (empty: all), one line each
    // in log_id order, to compare the table before and after an operation.
    std::string Snapshot(const std::string& sqliteWhere = "") const;

    // With LogDbOptions::wireLog: every byte each connection received so far,
    // as it crossed the wire (before decryption), by connection.
    std::map<int, Bytes> Received() const;

    // With LogDbOptions::statementLog: every logged-in connection so far, by
    // connection number (in the order they logged in). Waits up to `settle`
    // for every connection to have ended, as a client's leaving reaches the
    // server a moment after the client has returned.
    std::map<int, LoggedSession> Sessions(std::chrono::milliseconds settle = std::chrono::milliseconds(0)) const;
    // With LogDbOptions::loginLog: one line "<spid> <login name> sql|kerberos"
    // per LOGIN7 received so far.
    std::vector<std::string> Logins() const;

    // Whether the server is in the middle of a delete it has not committed
    // (its SQLite file has a rollback journal), e.g. one held by --delay-ms.
    bool DeleteUnderWay() const;

    // Ends the server at once with SIGKILL and reaps it; later calls do nothing.
    void Kill() noexcept;

private:
    LogDbOptions options_;
    std::unique_ptr<ScratchDir> scratch_;
    std::filesystem::path dbFile_;
    std::filesystem::path wireLog_;
    std::filesystem::path statementLog_;
    std::filesystem::path loginLog_;
    std::string sha256_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

// Pins the harness's certificate also for "127.0.0.1,PORT" and
// "localhost,PORT": for a program on `port` that forwards to a log server
// (the fault proxy), so that the client trusts the server behind it.
void PinHarnessCertificate(std::uint16_t port);

// What to look for in Received(): text as TDS carries it (UTF-16LE), and a
// password as LOGIN7 carries it (each byte's halves swapped, then XOR 0xA5).
Bytes Utf16Le(std::string_view ascii);
Bytes ObfuscatedPassword(std::string_view ascii);
bool Contains(const Bytes& haystack, const Bytes& needle);

// The types of the TDS packets in a stream read as plain TDS, up to the
// first byte that is not a packet header of a known type (TLS records).
std::vector<std::uint8_t> PlainPacketTypes(const Bytes& stream);

}  // namespace quellmark::test
