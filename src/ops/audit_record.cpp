#include "ops/audit_record.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "data_access/login_identity.h"

namespace quellmark::ops {
namespace {

std::string Rows(std::int64_t n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

// How the run ended, as the sentence says it.
std::string HowItEnded(std::string_view stopReason) {
    if (stopReason == "done") return "finished";
    if (stopReason == "cancelled") return "cancelled by the operator";
    if (stopReason == "failed") return "failed";
    if (stopReason == "max-runtime") return "stopped at its maximum run time";
    if (stopReason == "until") return "stopped at the time it was given to end by";
    if (stopReason == "signal") return "stopped by a signal";
    if (stopReason == "retries-exhausted") return "stopped after too many deadlocks or lock time-outs in a row";
    if (stopReason == "lock-held") return "not run, another run holds the lock of this log";
    if (stopReason == "log-full") return "stopped, the transaction log stayed full";
    return "ended (" + std::string(stopReason) + ")";
}

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
    return text;
}

}  // namespace

std::string_view FrontEndName(FrontEnd frontEnd) noexcept { return frontEnd == FrontEnd::Window ? "window" : "purge"; }

int PriorityOf(std::string_view stopReason) noexcept {
    if (stopReason == "done") return 6;
    if (stopReason == "failed" || stopReason == "retries-exhausted") return 3;
    return 4;
}

std::string Sentence(const DeletionRunRecord& record) {
    const std::string who = record.frontEnd == FrontEnd::Window ? "Delete All Records" : "quellmark-purge";
    std::string text = who + " deleted " + Rows(record.rowsDeleted) + " from ATR_Log on server " + record.server +
                       ", database " + record.database + ": " + HowItEnded(record.stopReason);
    if (record.rowsLeft) text += ", " + Rows(*record.rowsLeft) + " left";
    if (record.rowsInDoubt > 0)
        text += "; a delete's answer never came, so up to " + Rows(record.rowsInDoubt) + " more may be gone";
    if (!record.note.empty()) text += "; " + record.note;
    return text + ".";
}

std::vector<std::string> JournalFields(const DeletionRunRecord& record) {
    std::vector<std::string> fields{
        "MESSAGE=" + Sentence(record),
        "MESSAGE_ID=" + std::string(kDeletionRunEnded),
        "PRIORITY=" + std::to_string(record.priority.value_or(PriorityOf(record.stopReason))),
        "QUELLMARK_FRONT_END=" + std::string(FrontEndName(record.frontEnd)),
        "QUELLMARK_SERVER=" + record.server,
        "QUELLMARK_DATABASE=" + record.database,
        "QUELLMARK_LOGIN=" + record.login,
        "QUELLMARK_STATEMENT=" + record.statement,
        "QUELLMARK_ROWS_DELETED=" + std::to_string(record.rowsDeleted),
        "QUELLMARK_ROWS_LEFT=" + (record.rowsLeft ? std::to_string(*record.rowsLeft) : std::string()),
        "QUELLMARK_STOP_REASON=" + record.stopReason,
        "QUELLMARK_SECONDS=" + FormatSeconds(record.seconds),
    };
    if (record.rowsInDoubt > 0) fields.push_back("QUELLMARK_ROWS_IN_DOUBT=" + std::to_string(record.rowsInDoubt));
    for (const auto& [name, rows] :
         {std::pair{"QUELLMARK_CHUNK_MIN=", record.chunkMin}, std::pair{"QUELLMARK_CHUNK_MEDIAN=", record.chunkMedian},
          std::pair{"QUELLMARK_CHUNK_MAX=", record.chunkMax}})
        if (rows) fields.push_back(name + std::to_string(*rows));
    return fields;
}

std::string LoginOf(const ops::OnlineSettings& settings) {
    if (ops::ConnTypeOf(settings.OnlConnType) == ops::ConnType::Windows)
        return quellmark::data_access::DefaultKerberosPrincipal();
    return settings.OnlDbUser;
}

int SendToJournal(const DeletionRunRecord& record) noexcept {
    try {
        const std::vector<std::string> fields = JournalFields(record);
        std::vector<iovec> parts;
        parts.reserve(fields.size());
        for (const std::string& field : fields) parts.push_back(iovec{const_cast<char*>(field.data()), field.size()});
        return sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    } catch (const std::exception&) {
        return -ENOMEM;
    }
}

bool NoJournal(int sendResult) noexcept { return sendResult == -ENOENT || sendResult == -ECONNREFUSED; }

}  // namespace quellmark::ops
