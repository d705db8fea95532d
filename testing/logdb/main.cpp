// quellmark-logdb: a TDS log server for tests and demos. See the usage text.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "logdb/log_store.h"
#include "logdb/server.h"

namespace {

constexpr const char* kUsage = R"(usage: quellmark-logdb --port P --database D --user U --password W
                       [--rows N] [--seed S] [--end-date YYYY-MM-DD] [--db FILE] [--stats FILE]
                       [--delay-ms K] [--drop-after K] [--refuse-login] [--hang-login] [--log-statements]
                       [--count-answer none|null] [--faults-after K] [--encryption login|forced|none]
                       [--wire-log FILE] [--login-log FILE] [--kerberos-keytab FILE] [--statement-log FILE]
                       [--insert-after K:N:LABEL] [--cert FILE --key FILE] [--inject 1205|1222:EVERY]
                       [--row-cost-us U] [--row-cost-after K:U] [--deny-log-view]
                       [--log-size BYTES --log-bytes-per-row B [--log-backup-every S]]

Serves the table ATR_Log of database D over TDS 7.1-7.4 on 127.0.0.1:P (P = 0: any free
port) and prints "listening on 127.0.0.1:PORT sha256 FINGERPRINT" once it accepts
connections (FINGERPRINT: its certificate's SHA-256 fingerprint, colon-separated hex pairs;
the line ends after PORT with --encryption none). Logins are encrypted with TLS (at most
1.2), as SQL Server encrypts them.

  --rows N        replace ATR_Log with N seeded rows (same --seed and --end-date: same rows).
                  Without --rows an existing --db file's table is served as it is.
  --seed S        seed of the generated data (default 1)
  --end-date D    rows are spread over the 60 days before D (default 2026-01-01)
  --db FILE       keep the SQLite database in FILE (default: in memory)
  --stats FILE    append "<microseconds>\t<count|delete|other>\t<rows>" per statement
  --delay-ms K    each statement takes K ms longer to finish; an attention (or the client
                  closing the connection) meanwhile cancels it, and a cancelled delete is
                  rolled back
  --drop-after K  close a connection after it sent K statements
  --refuse-login  fail every login with error 18456
  --hang-login    accept connections but never answer the login
  --count-answer none|null
                  answer counts with no row, or with a row holding null
  --faults-after K
                  --delay-ms and --count-answer leave a connection's first K statements alone
  --encryption login|forced|none
                  login (default): the login in TLS, everything else too if the client asks;
                  forced: everything in TLS; none: no TLS (encryption not supported)
  --wire-log FILE append every byte received, before decryption, as lines
                  "<connection> <hex bytes>" (the connection is its SPID)
  --statement-log FILE
                  append "<connection>\tlogin" when a login succeeds, "<connection>\tbatch\t<text>"
                  per batch received (\\, \n, \r and \t escaped), and "<connection>\tleft" or
                  "<connection>\tdropped" when the client or the server ended the connection
  --insert-after K:N:LABEL
                  after a connection's K-th statement, N new rows labelled LABEL arrive
  --login-log FILE
                  append "<connection> <login name> sql|kerberos" for each LOGIN7 received
                  (after decryption; "-" for a Kerberos token it could not accept)
  --cert FILE --key FILE
                  present this certificate (PEM; further certificates in FILE are sent as
                  its chain) with this key (PEM), instead of a self-signed certificate made
                  at start
  --kerberos-keytab FILE
                  accept integrated-security (Kerberos) logins with the service keys in FILE,
                  read at each such login; the client principal's name before '@' is the login
                  name, which must be U. SQL logins are accepted as well.
  --inject NUMBER:EVERY
                  every EVERY-th delete of a connection deletes nothing and fails with SQL
                  Server's Msg NUMBER: 1205 (chosen as deadlock victim) or 1222 (lock request
                  time-out)
  --row-cost-us U
                  a delete takes U microseconds per row it deletes, all that time holding the
                  table, as an escalated table lock does: other statements wait for it (an
                  attention ends the wait; so does SET LOCK_TIMEOUT, with Msg 1222). An
                  attention during the delete rolls it back.
  --row-cost-after K:U
                  from the server's (K+1)-th delete on, U microseconds per row instead
  --log-size BYTES --log-bytes-per-row B
                  a transaction log of BYTES, in which each deleted row takes B bytes until a
                  log backup; once it is full every delete and insert fails with Msg 9002, and a
                  delete that does not fit fills it and fails (rolled back)
  --log-backup-every S
                  a log backup every S seconds from the start, freeing the whole log
                  sys.dm_db_log_space_usage and sys.databases answer from this log; without
                  --log-size they report 2 percent used and nothing to wait for
  --deny-log-view sys.dm_db_log_space_usage fails with Msg 300 (no VIEW SERVER STATE)
SET LOCK_TIMEOUT takes effect in @@LOCK_TIMEOUT and in waits for the table; SET DEADLOCK_PRIORITY is accepted.
Only statements other than SET count for --drop-after, --delay-ms, --faults-after, --insert-after
and --stats.
)";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "quellmark-logdb: " << problem << "\n\n" << kUsage;
    std::exit(2);
}

long long Number(std::string_view option, const std::string& text, long long min, long long max) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < min || value > max)
        Usage(std::string(option) + " needs a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    return value;
}

using namespace quellmark::logdb;

// The command line: the server's options and the data it serves.
struct Arguments {
    ServerOptions options;
    std::optional<std::int64_t> rows;
    SeedOptions seed;
    std::string dbFile;
    bool havePort = false, haveDatabase = false, haveUser = false, havePassword = false;
};

// Each of these takes one option if it is theirs (`value` reads its value)
// and says whether it was.
using Value = std::function<std::string()>;

// The database served, its login and its rows.
bool DataOption(std::string_view arg, const Value& value, Arguments& a) {
    if (arg == "--port") {
        a.options.port = static_cast<std::uint16_t>(Number(arg, value(), 0, 65535));
        a.havePort = true;
    } else if (arg == "--database") {
        a.options.database = value();
        a.haveDatabase = !a.options.database.empty();
    } else if (arg == "--user") {
        a.options.user = value();
        a.haveUser = !a.options.user.empty();
    } else if (arg == "--password") {
        a.options.password = value();
        a.havePassword = true;
    } else if (arg == "--rows") {
        a.rows = Number(arg, value(), 0, 100'000'000);
    } else if (arg == "--seed") {
        a.seed.seed = static_cast<std::uint64_t>(Number(arg, value(), 0, 9'223'372'036'854'775'807LL));
    } else if (arg == "--end-date") {
        a.seed.endDate = value();
    } else if (arg == "--db") {
        a.dbFile = value();
    } else {
        return false;
    }
    return true;
}

// Encryption, logins and the logs of what the server receives.
bool ConnectionOption(std::string_view arg, const Value& value, ServerOptions& options) {
    if (arg == "--stats") {
        options.statsFile = value();
    } else if (arg == "--encryption") {
        const std::string mode = value();
        if (mode == "login") {
            options.encryption = Encryption::Login;
        } else if (mode == "forced") {
            options.encryption = Encryption::Forced;
        } else if (mode == "none") {
            options.encryption = Encryption::None;
        } else {
            Usage("--encryption takes login, forced or none");
        }
    } else if (arg == "--wire-log") {
        options.wireLog = value();
    } else if (arg == "--login-log") {
        options.loginLog = value();
    } else if (arg == "--cert") {
        options.certificateFile = value();
    } else if (arg == "--key") {
        options.keyFile = value();
    } else if (arg == "--kerberos-keytab") {
        options.kerberosKeytab = value();
        if (options.kerberosKeytab.empty()) Usage("--kerberos-keytab needs a file");
    } else if (arg == "--statement-log") {
        options.statementLog = value();
    } else if (arg == "--log-statements") {
        options.logStatements = true;
    } else {
        return false;
    }
    return true;
}

// The delays, failures and concurrent changes a test asks for.
bool FaultOption(std::string_view arg, const Value& value, ServerOptions& options) {
    if (arg == "--delay-ms") {
        options.delayMs = static_cast<int>(Number(arg, value(), 0, 3'600'000));
    } else if (arg == "--faults-after") {
        options.faultsAfter = Number(arg, value(), 0, 1'000'000'000);
    } else if (arg == "--drop-after") {
        options.dropAfter = Number(arg, value(), 1, 1'000'000'000);
    } else if (arg == "--refuse-login") {
        options.refuseLogin = true;
    } else if (arg == "--hang-login") {
        options.hangLogin = true;
    } else if (arg == "--count-answer") {
        options.countAnswer = value();
        if (options.countAnswer != "none" && options.countAnswer != "null") Usage("--count-answer takes none or null");
    } else if (arg == "--insert-after") {
        const std::string spec = value();
        const std::size_t first = spec.find(':');
        const std::size_t second = first == std::string::npos ? first : spec.find(':', first + 1);
        if (second == std::string::npos || second + 1 == spec.size()) Usage("--insert-after takes K:N:LABEL");
        options.arrival = ServerOptions::Arrival{Number(arg, spec.substr(0, first), 1, 1'000'000'000),
                                                 Number(arg, spec.substr(first + 1, second - first - 1), 1, 1'000'000),
                                                 spec.substr(second + 1)};
    } else if (arg == "--inject") {
        try {
            options.lockFault = ParseLockFault(value());
        } catch (const std::invalid_argument& e) {
            Usage(e.what());
        }
    } else if (arg == "--row-cost-us") {
        options.rowCostMicros = Number(arg, value(), 0, 1'000'000);
    } else if (arg == "--row-cost-after") {
        const std::string text = value();
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos) Usage("--row-cost-after takes K:U");
        options.rowCostLater = RowCost::Later{Number(arg, text.substr(0, colon), 0, 1'000'000'000),
                                              Number(arg, text.substr(colon + 1), 0, 1'000'000)};
    } else if (arg == "--log-size") {
        options.log.size = Number(arg, value(), 1, 1LL << 50);
    } else if (arg == "--log-bytes-per-row") {
        options.log.bytesPerRow = Number(arg, value(), 1, 1'000'000);
    } else if (arg == "--log-backup-every") {
        options.log.backupEvery = std::chrono::seconds(Number(arg, value(), 1, 86'400));
    } else if (arg == "--deny-log-view") {
        options.denyLogView = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const Value value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (!DataOption(arg, value, a) && !ConnectionOption(arg, value, a.options) &&
            !FaultOption(arg, value, a.options))
            Usage("unknown option " + std::string(arg));
    }
    if (!a.havePort || !a.haveDatabase || !a.haveUser || !a.havePassword)
        Usage("--port, --database, --user and --password are required");
    if (a.options.certificateFile.empty() != a.options.keyFile.empty()) Usage("--cert and --key go together");
    if ((a.options.log.size > 0) != (a.options.log.bytesPerRow > 0) ||
        (a.options.log.backupEvery.count() > 0 && a.options.log.size == 0))
        Usage("--log-size and --log-bytes-per-row go together, and --log-backup-every needs them");
    try {
        LogStore store(a.dbFile, a.rows, a.seed);
        Server server(a.options, store);
        const std::string sha256 = server.CertificateSha256();
        std::cout << "listening on 127.0.0.1:" << server.Port() << (sha256.empty() ? "" : " sha256 " + sha256)
                  << std::endl;
        server.Run();
    } catch (const std::exception& e) {
        std::cerr << "quellmark-logdb: " << e.what() << '\n';
        return 1;
    }
}
