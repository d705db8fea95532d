#include "ops/unattended/chunk_sizer.h"

#include <algorithm>
#include <cmath>

namespace quellmark::ops::unattended {
namespace {

// The weight of the latest chunk's rate: after one chunk ten times slower
// than the others (whose own rate sizes the next chunk, a tenth as large),
// the one after it is about three quarters as large.
constexpr double kLatestWeight = 0.5;
constexpr std::int64_t kMostGrowth = 2;

}  // namespace

std::int64_t MostRowsPerChunk(std::int64_t n, bool allowTableLock) noexcept {
    return allowTableLock ? n : std::min(n, kRowsBelowEscalation);
}

bool MayLockTable(std::int64_t mostRows) noexcept { return mostRows >= kLockEscalationRows; }

ChunkSizer::ChunkSizer(std::int64_t mostRows, std::chrono::milliseconds target)
    : most_(std::max<std::int64_t>(mostRows, 1)),
      target_(target),
      next_(target.count() > 0 ? std::min(kFirstChunkRows, most_) : most_) {}

void ChunkSizer::Took(std::chrono::steady_clock::duration took) {
    if (target_.count() <= 0) return;
    largest_ = std::max(largest_, next_);
    const std::int64_t ceiling = std::min(most_, largest_ * kMostGrowth);
    const double seconds = std::chrono::duration<double>(took).count();
    if (seconds <= 0) {  // too quick to measure
        next_ = ceiling;
        return;
    }
    const double latest = static_cast<double>(next_) / seconds;
    rowsPerSecond_ = rowsPerSecond_ ? kLatestWeight * latest + (1 - kLatestWeight) * *rowsPerSecond_ : latest;
    const double rate = std::min(latest, *rowsPerSecond_);
    const double rows = std::floor(rate * std::chrono::duration<double>(target_).count());
    next_ = rows >= static_cast<double>(ceiling) ? ceiling : std::max<std::int64_t>(static_cast<std::int64_t>(rows), 1);
}

}  // namespace quellmark::ops::unattended
