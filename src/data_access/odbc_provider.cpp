// Placeholder until the FreeTDS provider lands.
#include "provider.h"

namespace data_access::provider {
std::unique_ptr<Connection> OpenSqlServer(const ConnectionProperties&, std::int16_t) {
    throw Error("The SQL Server provider is not built yet.");
}
}  // namespace data_access::provider
