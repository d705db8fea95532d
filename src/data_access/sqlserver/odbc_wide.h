// Text in the ODBC "wide" calls: UTF-16 code units (SQLWCHAR). The FreeTDS
// driver converts what the narrow calls pass from Latin-1 until a connection
// is up, so the connection string, and the diagnostics of a failed login, go
// through the wide calls to keep every character as it is.
#pragma once

#include <sql.h>
#include <sqlucode.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

using WideText = std::basic_string<SQLWCHAR>;

// UTF-16 of UTF-8 text, characters outside the Basic Multilingual Plane as
// surrogate pairs; nullopt when the text is not UTF-8.
std::optional<WideText> WideFromUtf8(std::string_view utf8);

// UTF-8 of UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(const SQLWCHAR* units, std::size_t count);

}  // namespace quellmark::data_access::sqlserver
