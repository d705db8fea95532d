#include "logdb/log_space.h"

#include <utility>

namespace quellmark::logdb {
namespace {

// What an idle log shows of itself without a model.
constexpr double kUnmodelledPercent = 2.0;

}  // namespace

TransactionLog::TransactionLog(Settings settings, std::string database, Clock::time_point start)
    : settings_(settings), database_(std::move(database)), nextBackup_(start + settings.backupEvery) {}

void TransactionLog::BackUp() {
    if (settings_.backupEvery.count() <= 0) return;
    const Clock::time_point now = Clock::now();
    if (now < nextBackup_) return;
    used_ = 0;
    const auto periods = (now - nextBackup_) / settings_.backupEvery + 1;
    nextBackup_ += periods * settings_.backupEvery;
}

SqlMessage TransactionLog::LogFull() const {
    return SqlMessage{9002, 2, 17, "The transaction log for database '" + database_ + "' is full due to 'LOG_BACKUP'."};
}

double TransactionLog::UsedPercent() {
    if (settings_.size <= 0) return kUnmodelledPercent;
    const std::lock_guard lock(mutex_);
    BackUp();
    return 100.0 * static_cast<double>(used_) / static_cast<double>(settings_.size);
}

std::string TransactionLog::ReuseWait() {
    const std::lock_guard lock(mutex_);
    BackUp();
    return used_ > 0 ? "LOG_BACKUP" : "NOTHING";
}

std::optional<SqlMessage> TransactionLog::Full() {
    if (settings_.size <= 0) return std::nullopt;
    const std::lock_guard lock(mutex_);
    BackUp();
    if (used_ < settings_.size) return std::nullopt;
    return LogFull();
}

std::optional<SqlMessage> TransactionLog::Commit(std::int64_t deletedRows) {
    if (settings_.size <= 0) return std::nullopt;
    const std::lock_guard lock(mutex_);
    BackUp();
    const std::int64_t bytes = deletedRows * settings_.bytesPerRow;
    if (bytes > settings_.size - used_) {
        used_ = settings_.size;
        return LogFull();
    }
    used_ += bytes;
    return std::nullopt;
}

}  // namespace quellmark::logdb
