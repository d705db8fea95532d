// The metrics file: a run's figures in Prometheus's text exposition format,
// for node_exporter's textfile collector (--collector.textfile.directory),
// which reads every *.prom file of its folder at each scrape. The file is
// replaced whole (a temporary file in the same folder, then renamed over
// it), so the collector never reads half of one.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "purge/purge_report.h"

namespace quellmark::purge_tool {

class MetricsFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MetricsRun {
    std::string job;  // the job's name (netmon for /etc/quellmark/purge/netmon.conf); empty without one
    std::string server;
    std::string database;
    double endedAt = 0;  // seconds since the epoch
    double seconds = 0;  // the whole run, connecting included
    int exitStatus = 0;
    std::string stopReason;
    std::int64_t rowsDeleted = 0;
    std::optional<std::int64_t> rowsLeft;  // none when not counted
};

// The run's figures as the file holds them; `lastSuccess` is the end of the
// latest run that finished with nothing left (this one when it did).
std::string MetricsText(const MetricsRun& run, std::optional<double> lastSuccess);

// The last success time a file MetricsText wrote holds, if any.
std::optional<double> LastSuccessIn(std::string_view text);

// The run of `record`, ended with `exitStatus`.
MetricsRun MetricsOf(const RunRecord& record, const std::optional<std::string>& jobFile, double seconds,
                     int exitStatus);

// Replaces `path` with the run's figures, keeping the last success time of
// the file there when this run did not succeed. The file is readable by
// everyone (the collector runs as a user of its own). Throws MetricsFileError.
void WriteMetricsFile(const std::string& path, const MetricsRun& run);

}  // namespace quellmark::purge_tool
