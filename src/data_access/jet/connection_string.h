// The connection string that opens a Jet 4 (Access) file with the
// "Microsoft.Jet.OLEDB.4.0" provider.
#pragma once

#include <filesystem>
#include <string>

namespace quellmark::data_access::jet {

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<file>;Persist Security Info=False".
// The path goes in as it is (spaces and all), quoted only where it would
// otherwise break the string (a ';', surrounding spaces, a leading quote).
std::string JetConnectionString(const std::filesystem::path& file);

}  // namespace quellmark::data_access::jet
