// The metrics file node_exporter's textfile collector reads (a folder that
// cannot be written: PurgeTool.UsageErrorsAndRefusedStatementsReachNoServer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness/scratch_dir.h"
#include "purge/metrics_file.h"

using namespace quellmark;
using namespace quellmark::purge_tool;

namespace {

std::string Read(const std::filesystem::path& file) {
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

std::string Line(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(start)) return line;
    return "(none)";
}

TEST(MetricsFile, ReplacesTheFileKeepingTheLastSuccessOfAnEarlierRun) {
    test::ScratchDir dir("metrics");
    const std::string file = (dir / "netmon.prom").string();
    MetricsRun run{"net\"mon\\\n", "sql01,1433", "NetMon", 2000.5, 1.25, 0, "done", 700, 0};
    const std::string labels = R"({purge_job="net\"mon\\\n",server="sql01,1433",database="NetMon"})";
    const struct {
        int exitStatus;
        const char* stopReason;
        const char* lastSuccess;
    } runs[] = {
        {75, "max-runtime", nullptr},  // no success yet
        {0, "done", " 2200.500"},
        {69, "failed", " 2200.500"},  // kept from the file before
        {75, "log-full", " 2200.500"},
    };
    for (const auto& r : runs) {
        run.exitStatus = r.exitStatus;
        run.stopReason = r.stopReason;
        run.endedAt += 100;
        WriteMetricsFile(file, run);
        const std::string text = Read(file);
        SCOPED_TRACE(text);
        const std::string success = "quellmark_purge_last_success_timestamp_seconds";
        EXPECT_EQ(Line(text, success + "{"), r.lastSuccess ? success + labels + r.lastSuccess : "(none)");
        EXPECT_EQ(Line(text, "quellmark_purge_exit_status{"),
                  "quellmark_purge_exit_status" + labels + " " + std::to_string(r.exitStatus));
        EXPECT_NE(text.find("quellmark_purge_stop_reason{" + labels.substr(1, labels.size() - 2) + ",reason=\"" +
                            r.stopReason + "\"} 1\n"),
                  std::string::npos);
        EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);  // no temporary file left
    EXPECT_NE(
        Read(file).find("# TYPE quellmark_purge_rows_deleted gauge\nquellmark_purge_rows_deleted" + labels + " 700\n"),
        std::string::npos);
}

}  // namespace
