// The test data files kept in tests/data.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace quellmark::test {

// A file of tests/data; throws (failing the test with the file's name) when
// it is missing, so that a test never runs on without its input.
inline std::filesystem::path TestDataFile(const std::string& relative) {
    const std::filesystem::path file = std::filesystem::path(QUELLMARK_TEST_DATA_DIR) / relative;
    if (!std::filesystem::is_regular_file(file))
        throw std::runtime_error("The test input file " + file.string() + " is missing.");
    return file;
}

// A database made by Microsoft Access (tests/data/real-mdb).
inline std::filesystem::path RealMdb(const std::string& name) { return TestDataFile("real-mdb/" + name); }

}  // namespace quellmark::test
