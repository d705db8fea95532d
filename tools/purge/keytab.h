// Windows Authentication of an unattended run: the Kerberos ticket comes from
// a client keytab the job names, not from a ticket someone got with kinit.
// MIT Kerberos's GSSAPI (which the SQL Server driver logs in with) gets a
// ticket by itself from the keytab that KRB5_CLIENT_KTNAME names whenever
// its ticket cache holds none; the cache is this process's own memory, so
// nothing is left behind and no other program's tickets are used.
#pragma once

#include <stdexcept>
#include <string>

namespace quellmark::purge_tool {

// The keytab is missing, unreadable or not a regular file (exit 78).
class KeytabError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks that the keytab can be read, then points this process's Kerberos
// library at it: KRB5_CLIENT_KTNAME=FILE:<absolute path>, and
// KRB5CCNAME=MEMORY:quellmark-purge-<pid> unless KRB5CCNAME already names a
// cache (the unit's Environment=). Call it before the first connection.
// Returns a warning when every local user can read the keytab (its keys log
// in as its principal), empty otherwise.
std::string UseClientKeytab(const std::string& keytab);

// What to check when a Windows Authentication login from the keytab failed.
std::string KeytabAdvice(const std::string& keytab);

}  // namespace quellmark::purge_tool
