// Reading Access files back with mdbtools' own programs (mdb-export,
// mdb-schema, ...), to check what our writers produce.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness/run_program.h"

namespace quellmark::test {

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs an mdbtools command that must succeed quietly; its stdout.
inline std::string Mdb(const std::string& tool, const std::vector<std::string>& args) {
    const RunResult r = Run(tool, args);
    EXPECT_EQ(r.exitCode, 0) << tool << ": " << r.err;
    EXPECT_EQ(r.err, "") << tool;
    return r.out;
}

}  // namespace quellmark::test
