// The chunk sizer: the rates a server deletes at, chunk after chunk, and the
// sizes it asks for.
#include <gtest/gtest.h>

#include <vector>

#include "ops/unattended/chunk_sizer.h"

using namespace quellmark::ops::unattended;
using namespace std::chrono_literals;

TEST(ChunkSizer, SizesEachChunkFromTheRatesMeasuredSoFar) {
    constexpr double k = 2000, f = 20000;  // rows per second
    const struct {
        const char* name;
        std::int64_t most;
        std::chrono::milliseconds target;
        std::vector<double> rowsPerSecond;  // each chunk's own rate
        std::vector<std::int64_t> sizes;    // the first and each next
    } cases[] = {
        {"steady", 4000, 500ms, {k, k, k, k, k, k}, {100, 200, 400, 800, 1000, 1000, 1000}},
        {"one slow chunk", 4000, 500ms, {k, k, k, k, 200, k, k, k}, {100, 200, 400, 800, 1000, 100, 775, 887, 943}},
        {"slowing: sized for the new pace at once",
         4000,
         500ms,
         {k, k, k, k, 1000, 1000, 1000},
         {100, 200, 400, 800, 1000, 500, 500, 500}},
        {"speeding, up to the cap", 4000, 500ms, {f, f, f, f, f, f, f}, {100, 200, 400, 800, 1600, 3200, 4000, 4000}},
        {"n smaller than the first chunk", 40, 500ms, {k, k}, {40, 40, 40}},
        {"a very slow server: never below one row", 40, 500ms, {1, 1}, {40, 1, 1}},
        {"no chunk time: every chunk as large as it may be", 4000, 0ms, {k, 10}, {4000, 4000, 4000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChunkSizer sizer(c.most, c.target);
        std::vector<std::int64_t> sizes{sizer.Next()};
        for (const double rate : c.rowsPerSecond) {
            const std::chrono::duration<double> took(static_cast<double>(sizer.Next()) / rate);
            sizer.Took(std::chrono::duration_cast<std::chrono::steady_clock::duration>(took));
            sizes.push_back(sizer.Next());
        }
        EXPECT_EQ(sizes, c.sizes);
    }
}

TEST(ChunkSizer, TableLocksFromFiveThousandRows) {
    EXPECT_FALSE(MayLockTable(4999));
    EXPECT_TRUE(MayLockTable(5000));
}
