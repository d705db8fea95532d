#include "ops/conversions.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "base/text.h"

namespace quellmark::ops {

std::optional<double> WholeNumberOf(const quellmark::data_access::Value& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
    if (const auto* real = std::get_if<double>(&value)) {
        if (!std::isfinite(*real)) return std::nullopt;
        return std::nearbyint(*real);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        const std::string_view t = quellmark::base::TrimSpaces(*text);
        if (t.empty()) return std::nullopt;
        const char* first = t.data();
        const char* last = t.data() + t.size();
        if (*first == '+') ++first;
        double parsed = 0;
        auto [end, ec] = std::from_chars(first, last, parsed);
        if (ec != std::errc() || end != last || !std::isfinite(parsed)) return std::nullopt;
        return std::nearbyint(parsed);
    }
    return std::nullopt;
}

}  // namespace quellmark::ops
