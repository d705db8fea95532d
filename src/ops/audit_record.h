// The audit record of a deletion run: what the system journal keeps of every
// run of the window's Delete All Records and of quellmark-purge, sent once,
// when the run ends. This is the one place that knows the record's fields,
// its message identifier, its priorities and its sentence.
//
// The record never holds the password: it is built from the server, the
// database and the login name only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ops/settings_file.h"

namespace quellmark::ops {

// MESSAGE_ID of "deletion run ended".
inline constexpr std::string_view kDeletionRunEnded = "54fa4b19b1a9442e8335ba921374dd35";

enum class FrontEnd { Window, Purge };

struct DeletionRunRecord {
    FrontEnd frontEnd = FrontEnd::Window;
    std::string server;    // as the settings name it ("host,port" for the remote type)
    std::string database;  // the settings' database
    std::string login;     // the SQL login, or the Kerberos principal
    std::string statement;
    std::int64_t rowsDeleted = 0;          // the sum of the rows the server reported deleted
    std::optional<std::int64_t> rowsLeft;  // nullopt when not counted after the last delete
    // Rows a delete may have removed although its answer never came (the
    // connection failed while it ran): up to this many more than rowsDeleted.
    std::int64_t rowsInDoubt = 0;
    // How the run ended: done, cancelled, failed (the window); done,
    // max-runtime, until, signal, retries-exhausted, failed, lock-held ...
    // (quellmark-purge). Any name is carried as it is.
    std::string stopReason = "failed";
    double seconds = 0;
    // The journal's priority when the front end sets it (quellmark-purge: by
    // the status it exits with); otherwise PriorityOf(stopReason).
    std::optional<int> priority;
    // What else went wrong as the run ended, added to the sentence (the JSON
    // summary quellmark-purge could not write); empty: nothing.
    std::string note;
    // quellmark-purge: the smallest, median and largest chunk (rows its
    // delete might remove); none when no chunk was deleted.
    std::optional<std::int64_t> chunkMin, chunkMedian, chunkMax;
};

// "window" or "purge".
std::string_view FrontEndName(FrontEnd frontEnd) noexcept;

// The journal's priority for a run that ended so, unless the record sets
// its own: 6 (info) when done, 3
// (error) when it failed (retries exhausted included), 4 (warning) for any
// other stop (cancelled, a deadline, a signal, not run at all).
int PriorityOf(std::string_view stopReason) noexcept;

// The record's MESSAGE: one sentence with the rows deleted, the table, the
// server, the database and how the run ended.
std::string Sentence(const DeletionRunRecord& record);

// Every field of the record as the journal takes it, "NAME=value", MESSAGE
// first.
std::vector<std::string> JournalFields(const DeletionRunRecord& record);

// The name a record gives for the login these settings make: the SQL login,
// or with Windows Authentication the principal of the default Kerberos
// ticket cache (empty when there is none).
std::string LoginOf(const ops::OnlineSettings& settings);

// Sends the record to the system journal: 0, or the negative errno value of
// the failure. With no journal socket at all libsystemd answers 0; a socket
// nobody listens on gives -ECONNREFUSED. Never throws.
int SendToJournal(const DeletionRunRecord& record) noexcept;

// Whether SendToJournal's result means only that there is no journal here.
bool NoJournal(int sendResult) noexcept;

}  // namespace quellmark::ops
