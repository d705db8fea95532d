// Who a login without a password logs in as.
#pragma once

#include <string>

namespace quellmark::data_access {

// The principal whose tickets the default Kerberos credential cache holds
// ("ops@EXAMPLE.NET"), expired ones included; empty when there is no cache
// or it cannot be read.
std::string DefaultKerberosPrincipal();

}  // namespace quellmark::data_access
