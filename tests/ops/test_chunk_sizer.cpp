// The chunk sizer: the rates a server deletes at, chunk after chunk, and the
// sizes it asks for.
#include <gtest/gtest.h>

#include <vector>

#include "ops/chunk_sizer.h"

using namespace quellmark::purge;
using namespace std::chrono_literals;

TEST(ChunkSizer, SizesEachChunkFromTheRatesMeasuredSoFar) {
    const struct {
        const char* name;
        std::int64_t most;
        std::chrono::milliseconds target;
        std::vector<double> rowsPerSecond;  // each chunk's own rate
        std::vector<std::int64_t> sizes;    // the first and each next
    } cases[] = {
        {"steady: doubling up to the target's 1000 rows",
         4000,
         500ms,
         {2000, 2000, 2000, 2000, 2000, 2000},
         {100, 200, 400, 800, 1000, 1000, 1000}},
        {"a single slow chunk halves the next only",
         4000,
         500ms,
         {2000, 2000, 2000, 2000, 2000, 200, 2000, 2000, 2000},
         {100, 200, 400, 800, 1000, 1000, 550, 775, 887, 943}},
        {"slowing for good: the size follows",
         4000,
         500ms,
         {2000, 2000, 2000, 2000, 2000, 1000, 1000, 1000},
         {100, 200, 400, 800, 1000, 1000, 750, 625, 562}},
        {"speeding: never above the cap",
         4000,
         500ms,
         {20000, 20000, 20000, 20000, 20000, 20000, 20000},
         {100, 200, 400, 800, 1600, 3200, 4000, 4000}},
        {"n smaller than the first chunk", 40, 500ms, {2000, 2000}, {40, 40, 40}},
        {"a very slow server: never below one row", 40, 500ms, {1, 1}, {40, 1, 1}},
        {"no chunk time: every chunk as large as it may be", 4000, 0ms, {2000, 10}, {4000, 4000, 4000}},
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

TEST(ChunkSizer, StaysUnderLockEscalationUnlessTableLocksAreAllowed) {
    EXPECT_EQ(MostRowsPerChunk(5000, false), 4000);
    EXPECT_EQ(MostRowsPerChunk(3000, false), 3000);
    EXPECT_EQ(MostRowsPerChunk(5000, true), 5000);
    EXPECT_FALSE(MayLockTable(4999));
    EXPECT_TRUE(MayLockTable(5000));
}
