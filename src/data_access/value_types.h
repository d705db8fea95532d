// The values every part of the data-access layer shares: a field's value and
// the error a failing operation throws with its diagnostic records. The
// providers build them without needing the connection objects.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quellmark::data_access {

// One diagnostic record: the description shown to the operator, and where the
// provider has them the SQLSTATE and the native (server) error number.
struct ErrorEntry {
    std::string Description;
    std::string SqlState;
    long NativeError = 0;
};

// The exception every failing operation throws. what() is the description of
// the most telling record, which is also the last entry.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description);
    explicit Error(std::vector<ErrorEntry> entries);
    const std::vector<ErrorEntry>& Entries() const noexcept { return entries_; }

private:
    std::vector<ErrorEntry> entries_;
};

// A field value: null, text (UTF-8), an integer or a floating-point number.
struct Null {
    bool operator==(const Null&) const = default;
};
using Value = std::variant<Null, std::string, std::int64_t, double>;

bool IsNull(const Value& value) noexcept;
// The value's text form: text as it is, numbers in plain decimal, null as "".
std::string ToText(const Value& value);

}  // namespace quellmark::data_access
