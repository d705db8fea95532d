#include "data_access/jet/connection_string.h"

#include "data_access/connection_string.h"

namespace quellmark::data_access::jet {

std::string JetConnectionString(const std::filesystem::path& file) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + QuoteConnectionValue(file.string()) +
           ";Persist Security Info=False";
}

}  // namespace quellmark::data_access::jet
