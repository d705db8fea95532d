// One purge at a time per log, at two levels, held for the whole run:
//   - a local lock file, /run/lock/quellmark-purge/quellmark-purge.<server>.
//     <database>.lock (flock, holding the holder's process id), in a folder
//     only root and the group quellmark can write: runs on this machine;
//   - an application lock on the server, resource N'quellmark-purge' in the
//     log's database, owned by the run's session, exclusive, without a wait:
//     runs from any machine. The server drops it when the session ends,
//     however the run ends.
// A run that finds either lock taken does not start (LockHeld).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/lock_file.h"
#include "data_access/data_access.h"
#include "data_access/value_types.h"

namespace quellmark::ops::unattended {

// Where the lock files go: $QUELLMARK_LOCK_DIR when set (tests, an install
// of one's own), /run/lock/quellmark-purge otherwise (made at boot by the
// package's tmpfiles.d entry: 2770 root:quellmark).
std::string LockFolder();

// "quellmark-purge.<server>.<database>.lock"; a byte outside [A-Za-z0-9._-]
// written as %XX, and a '.' of the database too. Names too long for that give
// "quellmark-purge.<their first 100 bytes>~<16 hex digits of a hash>.lock":
// at most 138 bytes, the same for the same server and database.
std::string LockFileName(const std::string& server, const std::string& database);

// Another run holds the log; the description names it where known.
class LockHeld : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The local lock for the log, taken without waiting. Throws LockHeld, or
// base::LockFileError when the lock file cannot be used.
base::LockFile TakeLocalLock(const std::string& folder, const std::string& server, const std::string& database);

// The batches asking for the server lock (one row: sp_getapplock's return
// value) and giving it back.
std::string ServerLockBatch();
std::string ServerUnlockBatch();

// sp_getapplock's return value: true when granted (0, or 1 after a wait),
// false when another session holds the lock (-1); anything else throws a
// Failure saying what the server answered.
bool ServerLockGranted(const std::optional<std::int64_t>& returnValue);

// The server lock on an open connection, given back when the object goes
// (a failure then is ignored: the session's end drops it too).
class ServerRunLock {
public:
    // Throws LockHeld (naming server and database), or Failure.
    ServerRunLock(quellmark::data_access::Connection& connection, const std::string& server,
                  const std::string& database);
    ~ServerRunLock();
    ServerRunLock(const ServerRunLock&) = delete;
    ServerRunLock& operator=(const ServerRunLock&) = delete;

    // Sends nothing more when the object goes: the lock goes with the
    // session (a run told to stop at once, whose last statement was cancelled).
    void LeaveToSessionEnd() noexcept { release_ = false; }

private:
    quellmark::data_access::Connection& connection_;
    bool release_ = true;
};

}  // namespace quellmark::ops::unattended
