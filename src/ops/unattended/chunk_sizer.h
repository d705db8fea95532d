// How many rows the next chunk of an unattended purge deletes.
//
// SQL Server turns a statement's row locks into a lock on the whole table
// once it holds about kLockEscalationRows on it; while such a chunk runs,
// the monitoring system's own inserts into ATR_Log wait. So a chunk stays at
// or under kRowsBelowEscalation unless table locks are allowed, and is sized
// to take about a chosen time: the first is small (kFirstChunkRows), each
// next one comes from the rows per second measured so far, weighted toward
// the latest chunks, or from the latest chunk's own rate when that is
// slower: a server that has become slower (a cold cache, other work) gets
// chunks sized for its new pace at once, while one slow chunk shrinks the
// next without shrinking the ten after it. A chunk never grows to more than
// twice the largest one so far (a rate measured on few rows says little about
// many), never above the statement's n and never below one row.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quellmark::ops::unattended {

inline constexpr std::int64_t kLockEscalationRows = 5000;
inline constexpr std::int64_t kRowsBelowEscalation = 4000;
inline constexpr std::int64_t kFirstChunkRows = 100;

// The most rows one chunk of a statement with TOP (n) may delete.
std::int64_t MostRowsPerChunk(std::int64_t n, bool allowTableLock) noexcept;

// Whether chunks of up to `mostRows` may take a lock on the whole table.
bool MayLockTable(std::int64_t mostRows) noexcept;

class ChunkSizer {
public:
    // `target` 0: every chunk is `mostRows`.
    ChunkSizer(std::int64_t mostRows, std::chrono::milliseconds target);

    // The rows the next chunk may delete.
    std::int64_t Next() const noexcept { return next_; }
    // A chunk of Next() rows took `took`.
    void Took(std::chrono::steady_clock::duration took);

private:
    std::int64_t most_;
    std::chrono::milliseconds target_;
    std::int64_t next_;
    std::int64_t largest_ = 0;             // the largest chunk measured so far
    std::optional<double> rowsPerSecond_;  // weighted
};

}  // namespace quellmark::ops::unattended
