#include "purge/keytab.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/unique_fd.h"

namespace quellmark::purge_tool {

std::string UseClientKeytab(const std::string& keytab) {
    const base::UniqueFd fd(::open(keytab.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throw KeytabError("cannot read the keytab \"" + keytab + "\": " + std::strerror(errno) + ".");
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        throw KeytabError("the keytab \"" + keytab + "\" is not a regular file.");
    if (status.st_size == 0) throw KeytabError("the keytab \"" + keytab + "\" is empty: it holds no key.");

    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(keytab, error);
    const std::string path = error ? keytab : absolute.lexically_normal().string();
    ::setenv("KRB5_CLIENT_KTNAME", ("FILE:" + path).c_str(), 1);
    const char* cache = std::getenv("KRB5CCNAME");
    if (!cache || !*cache) ::setenv("KRB5CCNAME", ("MEMORY:quellmark-purge-" + std::to_string(::getpid())).c_str(), 1);
    if (status.st_mode & S_IROTH)
        return "every local user can read the keytab \"" + keytab +
               "\", and log in with its keys as its principal: make it readable by root and the group quellmark "
               "only (chown root:quellmark, chmod 0640).";
    return {};
}

std::string KeytabAdvice(const std::string& keytab) {
    return "The Kerberos ticket of this run comes from the keytab \"" + keytab +
           "\" (no kinit): check that it holds the current key of the login's principal (klist -k -t " + keytab +
           ") and that the KDC knows that principal.";
}

}  // namespace quellmark::purge_tool
