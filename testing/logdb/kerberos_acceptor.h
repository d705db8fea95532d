// Integrated-security logins: the Kerberos token a client (FreeTDS with
// Trusted_Connection=Yes) puts in LOGIN7's SSPI field, accepted with GSSAPI
// against the service keys of a keytab, as SQL Server accepts it with its
// service account's keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellmark::logdb {

struct KerberosLogin {
    bool accepted = false;
    std::string principal;             // the client, "ops@REALM"
    std::vector<std::uint8_t> answer;  // for the client's mutual authentication (AP-REP)
    std::string problem;               // GSSAPI's words when not accepted
};

// Accepts `token` with any service key in the keytab file. The keytab is
// read at every call, so it may be written after the server started (once
// its port, which the service principal names, is known).
KerberosLogin AcceptKerberosToken(const std::string& keytab, const std::vector<std::uint8_t>& token);

// "ops@REALM" -> "ops": the login name a Windows login maps to here.
std::string LoginNameOf(const std::string& principal);

}  // namespace quellmark::logdb
