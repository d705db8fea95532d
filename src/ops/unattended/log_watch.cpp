#include "ops/unattended/log_watch.h"

#include <cmath>
#include <cstdio>

namespace quellmark::ops::unattended {
namespace {

// Text from the server with its control characters made visible.
std::string Visible(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Percent(double value) {
    return std::to_string(static_cast<long long>(std::floor(std::isfinite(value) ? value : 0))) + "%";
}

}  // namespace

std::string LogWaitText(const LogState& log, int limitPercent) {
    return "waiting: transaction log " + Percent(log.usedPercent) + " used (limit " + std::to_string(limitPercent) +
           "%), waiting for " + Visible(log.reuse.reuseWait);
}

std::string LogStateText(const LogState& log) {
    return "transaction log: " + Percent(log.usedPercent) + " used, recovery model " +
           Visible(log.reuse.recoveryModel) + ", reuse waiting for " + Visible(log.reuse.reuseWait);
}

std::string LogNotWatchedText(long number, std::string_view message) {
    if (number == kPermissionDenied)
        return "warning: the login may not read the transaction log's use: it needs the permission VIEW SERVER STATE "
               "(VIEW SERVER PERFORMANCE STATE from SQL Server 2022) (" +
               Visible(message) +
               "); the run goes on without watching the log. Grant the permission, or give --max-log-used 0 to "
               "leave the log unwatched.";
    return "warning: the server did not tell the transaction log's use (" + Visible(message) +
           "); the run goes on without watching the log (--max-log-used 0 leaves it unwatched).";
}

}  // namespace quellmark::ops::unattended
