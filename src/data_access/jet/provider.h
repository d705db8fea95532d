// Pieces of the Access-file provider that are worth reaching on their own.
#pragma once

#include <string>
#include <vector>

#include "data_access/connection_string.h"
#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::provider {

// A stored Access date/time (days since 1899-12-30, the fraction the time of
// day) as "YYYY-MM-DD HH:MM:SS"; "" when the value is no date at all (not
// finite, or millennia outside what Access stores).
std::string JetDateText(double serial);

// The names of the user tables in the Access file the connection string's
// Data Source names, in catalog order; throws Error as OpenJet does.
std::vector<std::string> JetUserTables(const ConnectionProperties& properties);

}  // namespace quellmark::data_access::provider
