#include "harness/logdb_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "base/unique_fd.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "harness/sqlite_shell.h"
#include "harness/test_certificates.h"

namespace quellmark::test {
namespace {

// The harness's certificate for the servers it pins, made once per process,
// and the trust folder it pins them in when the test names none.
struct HarnessTrust {
    ScratchDir dir{"harness-trust"};
    CertificateFiles certificate = MakeSelfSigned(dir.Path(), "logdb", "quellmark-logdb");
    HarnessTrust() { std::filesystem::create_directory(dir / "trusted"); }
};

const HarnessTrust& Trust() {
    static const HarnessTrust trust;
    return trust;
}

std::filesystem::path TrustFolder() {
    const char* named = std::getenv("QUELLMARK_TRUST_DIR");
    if (named && *named) return named;
    const std::filesystem::path folder = Trust().dir / "trusted";
    ::setenv("QUELLMARK_TRUST_DIR", folder.c_str(), 1);
    return folder;
}

void PinIn(const std::filesystem::path& folder, std::uint16_t port) {
    const std::string pem = Trust().certificate.Pem();
    for (const char* host : {"127.0.0.1", "localhost"}) {
        std::ofstream out(folder / (std::string(host) + "," + std::to_string(port) + ".pem"));
        out << pem;
        if (!out.flush()) throw std::runtime_error("cannot pin the log server's certificate in " + folder.string());
    }
}

}  // namespace

LogDbProcess::LogDbProcess(LogDbOptions options) : options_(std::move(options)) {
    const bool ownCertificate =
        std::find(options_.extraArgs.begin(), options_.extraArgs.end(), "--cert") != options_.extraArgs.end();
    const bool pin = options_.pinned && !ownCertificate;
    if (!options_.dbFile || options_.wireLog || options_.statementLog || options_.loginLog)
        scratch_ = std::make_unique<ScratchDir>("logdb");
    dbFile_ = options_.dbFile ? *options_.dbFile : *scratch_ / "logs.sqlite";
    std::vector<std::string> args = {LogDbPath(),
                                     "--port",
                                     "0",
                                     "--database",
                                     options_.database,
                                     "--user",
                                     options_.user,
                                     "--password",
                                     options_.password,
                                     "--seed",
                                     std::to_string(options_.seed),
                                     "--db",
                                     dbFile_.string()};
    if (options_.rows) {
        args.emplace_back("--rows");
        args.push_back(std::to_string(*options_.rows));
    }
    if (options_.wireLog) {
        wireLog_ = *scratch_ / "wire.log";
        args.insert(args.end(), {"--wire-log", wireLog_.string()});
    }
    if (options_.statementLog) {
        statementLog_ = *scratch_ / "statements.log";
        args.insert(args.end(), {"--statement-log", statementLog_.string()});
    }
    if (options_.loginLog) {
        loginLog_ = *scratch_ / "login.log";
        args.insert(args.end(), {"--login-log", loginLog_.string()});
    }
    if (pin) {
        const CertificateFiles& certificate = Trust().certificate;
        args.insert(args.end(), {"--cert", certificate.certificate.string(), "--key", certificate.key.string()});
    }
    args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    const ListeningChild child = StartListening(std::move(args), options_.startTimeout, false);
    pid_ = child.pid;
    port_ = child.port;
    const std::string& line = child.firstLine;
    if (const std::size_t at = line.find(" sha256 "); at != std::string::npos) sha256_ = line.substr(at + 8);
    if (pin) PinIn(TrustFolder(), port_);
}

LogDbProcess::~LogDbProcess() { Kill(); }

void PinHarnessCertificate(std::uint16_t port) { PinIn(TrustFolder(), port); }

void LogDbProcess::Kill() noexcept { EndChild(pid_, SIGKILL); }

bool LogDbProcess::DeleteUnderWay() const {
    std::error_code error;
    return std::filesystem::exists(dbFile_.string() + "-journal", error);
}

std::string LogDbProcess::OdbcConnectionString() const {
    return "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(port_) + ";Database=" + options_.database +
           ";UID=" + options_.user + ";PWD=" + options_.password + ";TDS_Version=7.4";
}

std::map<int, Bytes> LogDbProcess::Received() const {
    if (wireLog_.empty()) throw std::runtime_error("the log server was started without a wire log");
    std::map<int, Bytes> streams;
    std::ifstream in(wireLog_);
    int connection = 0;
    std::string hex;
    const auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
    while (in >> connection >> hex) {
        Bytes& bytes = streams[connection];
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return streams;
}

std::map<int, LoggedSession> LogDbProcess::Sessions(std::chrono::milliseconds settle) const {
    if (statementLog_.empty()) throw std::runtime_error("the log server was started without a statement log");
    const auto until = std::chrono::steady_clock::now() + settle;
    for (;;) {
        std::map<int, LoggedSession> sessions;
        std::ifstream in(statementLog_);
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            LoggedSession& session = sessions[std::stoi(line.substr(0, tab))];
            const std::string event = line.substr(tab + 1);
            if (event == "login") continue;
            if (event.rfind("batch\t", 0) != 0) {
                session.end = event;
                continue;
            }
            std::string text;
            for (std::size_t i = 6; i < event.size(); ++i) {
                if (event[i] != '\\' || i + 1 == event.size()) {
                    text += event[i];
                    continue;
                }
                const char c = event[++i];
                text += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
            session.batches.push_back(std::move(text));
        }
        const bool ended =
            std::all_of(sessions.begin(), sessions.end(), [](const auto& entry) { return !entry.second.end.empty(); });
        if (ended || std::chrono::steady_clock::now() >= until) return sessions;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> LogDbProcess::Logins() const {
    if (loginLog_.empty()) throw std::runtime_error("the log server was started without a login log");
    std::vector<std::string> lines;
    std::ifstream in(loginLog_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

Bytes Utf16Le(std::string_view ascii) {
    Bytes bytes;
    for (char c : ascii) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
    return bytes;
}

Bytes ObfuscatedPassword(std::string_view ascii) {
    Bytes bytes = Utf16Le(ascii);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5);
    return bytes;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

std::vector<std::uint8_t> PlainPacketTypes(const Bytes& stream) {
    static constexpr std::uint8_t kKnown[] = {0x01, 0x03, 0x06, 0x0E, 0x10, 0x12};
    std::vector<std::uint8_t> types;
    for (std::size_t at = 0; at + 8 <= stream.size();) {
        const std::size_t length = static_cast<std::size_t>(stream[at + 2]) << 8 | stream[at + 3];
        if (std::find(std::begin(kKnown), std::end(kKnown), stream[at]) == std::end(kKnown) || length < 8) break;
        types.push_back(stream[at]);
        at += length;
    }
    return types;
}

std::int64_t LogDbProcess::CountRows(const std::string& sqliteWhere) const {
    return CountLogRows(dbFile_, sqliteWhere);
}

std::int64_t LogDbProcess::Mark(const std::string& label, std::int64_t rows) const {
    std::string literal = "'";
    for (char c : label) literal += c == '\'' ? std::string("''") : std::string(1, c);
    literal += "'";
    RunSqlite(dbFile_,
              "UPDATE ATR_Log SET label = " + literal +
                  " WHERE log_id IN (SELECT log_id FROM ATR_Log ORDER BY log_id LIMIT " + std::to_string(rows) + ");",
              false);
    return CountRows("label = " + literal);
}

std::string LogDbProcess::Snapshot(const std::string& sqliteWhere) const {
    const std::string where = sqliteWhere.empty() ? "" : " WHERE " + sqliteWhere;
    return RunSqlite(
        dbFile_,
        "SELECT group_concat(log_id || '|' || priority || '|' || time || '|' || ifnull(label,'') || '|' || "
        "ifnull(ent,'') || '|' || ifnull(oid,'') || '|' || ifnull(message,''), char(10)) "
        "FROM (SELECT * FROM ATR_Log" +
            where + " ORDER BY log_id);",
        true);
}

}  // namespace quellmark::test
