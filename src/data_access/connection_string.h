// Connection strings of the form key=value;key=value as OLE DB writes them.
// Keys are compared case-insensitively. A value may be enclosed in double or
// single quotes, the enclosing quote doubled inside it; an unquoted value runs
// to the next ';' and loses surrounding spaces.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"

namespace quellmark::data_access {

// The text helpers this layer's sources call unqualified.
using quellmark::base::EqualsIgnoreCase;
using quellmark::base::StartsWithIgnoreCase;
using quellmark::base::TrimSpaces;

class ConnectionProperties {
public:
    // Later occurrences of a key override earlier ones, as in OLE DB.
    static ConnectionProperties Parse(std::string_view text);

    std::optional<std::string> Get(std::string_view key) const;
    const std::vector<std::pair<std::string, std::string>>& Items() const noexcept { return items_; }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// The value as it must be written after "key=": unchanged unless it holds a
// ';', begins or ends with a space, or begins with a quote, in which case it is
// enclosed in double quotes with inner double quotes doubled.
std::string QuoteConnectionValue(std::string_view value);

}  // namespace quellmark::data_access
