#include "data_access/value_types.h"

#include <charconv>
#include <cmath>

namespace quellmark::data_access {
namespace {

std::string DescriptionOf(const std::vector<ErrorEntry>& entries) {
    return entries.empty() ? std::string("Unknown data-access error.") : entries.back().Description;
}

}  // namespace

Error::Error(const std::string& description) : Error(std::vector<ErrorEntry>{ErrorEntry{description, {}, 0}}) {}

Error::Error(std::vector<ErrorEntry> entries)
    : std::runtime_error(DescriptionOf(entries)), entries_(std::move(entries)) {
    if (entries_.empty()) entries_.push_back(ErrorEntry{what(), {}, 0});
}

bool ErrorEntry::IsDeadlockOrLockTimeout() const noexcept {
    return quellmark::data_access::IsDeadlockOrLockTimeout(NativeError);
}
bool ErrorEntry::IsConnectionLost() const noexcept { return SqlState.starts_with("08"); }
bool ErrorEntry::IsTimeout() const noexcept { return SqlState.starts_with("HYT"); }

bool IsNull(const Value& value) noexcept { return std::holds_alternative<Null>(value); }

std::string ToText(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::to_string(*integer);
    if (const auto* real = std::get_if<double>(&value)) {
        if (std::isfinite(*real) && *real == std::floor(*real) && std::fabs(*real) < 1e15)
            return std::to_string(static_cast<long long>(*real));
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *real);
        return ec == std::errc() ? std::string(buffer, end) : std::string();
    }
    return {};
}

}  // namespace quellmark::data_access
