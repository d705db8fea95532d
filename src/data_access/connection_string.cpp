#include "data_access/connection_string.h"

#include <cctype>

namespace quellmark::data_access {

ConnectionProperties ConnectionProperties::Parse(std::string_view text) {
    ConnectionProperties result;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Key: up to '='. A pair without '=' is ignored, as are empty pairs.
        std::size_t eq = text.find_first_of("=;", i);
        if (eq == std::string_view::npos || text[eq] == ';') {
            i = (eq == std::string_view::npos) ? n : eq + 1;
            continue;
        }
        std::string key(TrimSpaces(text.substr(i, eq - i)));
        i = eq + 1;
        while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::string value;
        if (i < n && (text[i] == '"' || text[i] == '\'')) {
            const char quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            // Anything between the closing quote and the next ';' is dropped.
            std::size_t semi = text.find(';', i);
            i = (semi == std::string_view::npos) ? n : semi + 1;
            (void)closed;
        } else {
            std::size_t semi = text.find(';', i);
            std::size_t end = (semi == std::string_view::npos) ? n : semi;
            value = std::string(TrimSpaces(text.substr(i, end - i)));
            i = (semi == std::string_view::npos) ? n : semi + 1;
        }
        if (key.empty()) continue;
        bool replaced = false;
        for (auto& item : result.items_) {
            if (EqualsIgnoreCase(item.first, key)) {
                item.second = value;
                replaced = true;
                break;
            }
        }
        if (!replaced) result.items_.emplace_back(std::move(key), std::move(value));
    }
    return result;
}

std::optional<std::string> ConnectionProperties::Get(std::string_view key) const {
    for (const auto& item : items_) {
        if (EqualsIgnoreCase(item.first, key)) return item.second;
    }
    return std::nullopt;
}

std::string QuoteConnectionValue(std::string_view value) {
    const bool needsQuotes = value.find(';') != std::string_view::npos ||
                             (!value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                                                 std::isspace(static_cast<unsigned char>(value.back())) ||
                                                 value.front() == '"' || value.front() == '\''));
    if (!needsQuotes) return std::string(value);
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace quellmark::data_access
