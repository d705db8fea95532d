// Whether this user holds Kerberos credentials, which FreeTDS needs for a
// Windows-authentication (Integrated Security=SSPI) login.
#pragma once

#include <string>

namespace data_access::odbc {

struct KerberosCheck {
    enum class Result { Available, Missing, Unknown };
    Result Outcome = Result::Unknown;
    // The GSS-API's own words when credentials are missing, e.g. "No Kerberos
    // credentials available (default cache: FILE:/tmp/krb5cc_1000)".
    std::string Detail;
};

// Asks the system's GSS-API library (the one FreeTDS uses) for initiator
// credentials. Unknown when that library cannot be loaded.
KerberosCheck CheckKerberosCredentials();

}  // namespace data_access::odbc
