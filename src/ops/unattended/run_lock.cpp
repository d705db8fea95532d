#include "ops/unattended/run_lock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ops/conversions.h"
#include "ops/unattended/online_database.h"
#include "ops/unattended/run.h"

namespace quellmark::ops::unattended {
namespace {

constexpr const char* kDefaultLockFolder = "/run/lock/quellmark-purge";
// The escaped names in a lock file's name: whole up to this many bytes, or
// their first kLockNamesPrefix bytes and a hash.
constexpr std::size_t kMaxLockNames = 160;
constexpr std::size_t kLockNamesPrefix = 100;
constexpr const char* kResource = "N'quellmark-purge'";

std::string TheLog(const std::string& server, const std::string& database) {
    return "The log " + database + " on " + server;
}

}  // namespace

std::string LockFolder() {
    const char* folder = std::getenv("QUELLMARK_LOCK_DIR");
    return folder && *folder ? folder : kDefaultLockFolder;
}

std::string LockFileName(const std::string& server, const std::string& database) {
    // The database's dots are escaped too, so the last dot parts the names:
    // server "a.b" and database "c" never share a lock with "a" and "b.c".
    const auto escaped = [](const std::string& text, bool keepDots) {
        std::string out;
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                (c == '.' && keepDots) || c == '_' || c == '-') {
                out += c;
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", byte);
                out += hex;
            }
        }
        return out;
    };
    const std::string names = escaped(server, true) + "." + escaped(database, false);
    if (names.size() <= kMaxLockNames) return "quellmark-purge." + names + ".lock";
    // Too long for a file name (255 bytes): the names' beginning, cut before
    // an escape, and a hash of both names (64-bit FNV-1a), '~' marking it.
    std::size_t cut = kLockNamesPrefix;
    if (const std::size_t escape = names.rfind('%', cut - 1); escape != std::string::npos && escape + 3 > cut)
        cut = escape;
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : server + '\0' + database) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return "quellmark-purge." + names.substr(0, cut) + "~" + hex + ".lock";
}

base::LockFile TakeLocalLock(const std::string& folder, const std::string& server, const std::string& database) {
    const std::string path = folder + "/" + LockFileName(server, database);
    base::LockAttempt attempt = base::LockFile::TryTake(path);
    if (attempt.lock) return std::move(*attempt.lock);
    const std::string who =
        attempt.holder ? "process " + std::to_string(*attempt.holder) : std::string("another process");
    throw LockHeld(TheLog(server, database) + " is locked by " + who + " on this machine (" + path +
                   "): another purge of it is running.");
}

std::string ServerLockBatch() {
    return std::string("SET NOCOUNT ON; DECLARE @r int; EXEC @r = sp_getapplock @Resource = ") + kResource +
           ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; SELECT @r AS lock_result";
}

std::string ServerUnlockBatch() {
    return std::string("EXEC sp_releaseapplock @Resource = ") + kResource + ", @LockOwner = 'Session'";
}

bool ServerLockGranted(const std::optional<std::int64_t>& returnValue) {
    if (!returnValue)
        throw Failure(FailureCause::Internal, "The server did not answer the request for the run's lock.");
    switch (*returnValue) {
        case 0:
        case 1:
            return true;
        case -1:
            return false;
        case -2:
            throw Failure(FailureCause::Rejected, "The server cancelled the request for the run's lock.");
        case -3:
            throw Failure(FailureCause::Rejected,
                          "The server chose the request for the run's lock as a deadlock victim.");
        case -999:
            throw Failure(FailureCause::Rejected,
                          "The server refused the request for the run's lock (sp_getapplock returned -999).");
        default:
            throw Failure(FailureCause::Internal, "The server answered the request for the run's lock with " +
                                                      std::to_string(*returnValue) +
                                                      ", which sp_getapplock never returns.");
    }
}

ServerRunLock::ServerRunLock(quellmark::data_access::Connection& connection, const std::string& server,
                             const std::string& database)
    : connection_(connection) {
    std::optional<std::int64_t> answer;
    try {
        const std::unique_ptr<quellmark::data_access::Recordset> result = connection_.Execute(ServerLockBatch());
        if (result && result->IsOpen() && !result->EndOfFile()) {
            const std::optional<double> number = ops::WholeNumberOf(result->Fields().Item(0).Value());
            if (number) answer = static_cast<std::int64_t>(*number);
        }
    } catch (const quellmark::data_access::Error&) {
        throw ClassifyFailure(connection_.Errors().Entries(), FailedStep::Statement);
    }
    if (!ServerLockGranted(answer))
        throw LockHeld(TheLog(server, database) +
                       " is locked by another session on the server: a purge of it is running, here or on another "
                       "machine.");
}

ServerRunLock::~ServerRunLock() {
    if (!release_) return;
    try {
        connection_.Execute(ServerUnlockBatch());
    } catch (...) {
        // The session's end gives the lock back.
    }
}

}  // namespace quellmark::ops::unattended
