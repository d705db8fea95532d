#include "data_access/sqlserver/kerberos.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <netdb.h>
#include <sys/socket.h>

#include <memory>

#include "base/addr_info.h"
#include "base/bounded_call.h"
#include "data_access/login_identity.h"
#include "data_access/sqlserver/host_lookup.h"

namespace quellmark::data_access::sqlserver {
namespace {

// The GSSAPI objects one check uses; each is released once, when the check
// ends, whichever way it ends.
struct GssObjects {
    GssObjects() = default;
    GssObjects(const GssObjects&) = delete;
    GssObjects& operator=(const GssObjects&) = delete;
    ~GssObjects() {
        OM_uint32 minor = 0;
        if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
        if (target != GSS_C_NO_NAME) gss_release_name(&minor, &target);
        if (credential != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credential);
        gss_release_buffer(&minor, &token);
    }

    gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
    gss_name_t target = GSS_C_NO_NAME;
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc token{0, nullptr};
};

// The Kerberos objects that reading the credential cache's owner uses,
// released once in the order they depend on each other.
struct Krb5Objects {
    Krb5Objects() = default;
    Krb5Objects(const Krb5Objects&) = delete;
    Krb5Objects& operator=(const Krb5Objects&) = delete;
    ~Krb5Objects() {
        if (!context) return;
        krb5_free_unparsed_name(context, name);
        if (principal) krb5_free_principal(context, principal);
        if (cache) krb5_cc_close(context, cache);
        krb5_free_context(context);
    }

    krb5_context context = nullptr;
    krb5_ccache cache = nullptr;
    krb5_principal principal = nullptr;
    char* name = nullptr;
};

// Whose tickets the default credential cache holds, even expired ones
// (which GSSAPI no longer names); empty when that cannot be read.
std::string CacheOwner() {
    Krb5Objects krb5;
    if (krb5_init_context(&krb5.context) != 0 || krb5_cc_default(krb5.context, &krb5.cache) != 0 ||
        krb5_cc_get_principal(krb5.context, krb5.cache, &krb5.principal) != 0 ||
        krb5_unparse_name(krb5.context, krb5.principal, &krb5.name) != 0)
        return {};
    return krb5.name;
}

// The mechanism's (Kerberos's) words for a minor status.
std::string DescribeMinorStatus(OM_uint32 minor) {
    std::string text;
    OM_uint32 context = 0;
    // The library splits a status into a few messages; a handful is plenty.
    for (int part = 0; part < 4 && minor != 0; ++part) {
        OM_uint32 ignored = 0;
        gss_buffer_desc buffer{0, nullptr};
        if (GSS_ERROR(gss_display_status(&ignored, minor, GSS_C_MECH_CODE, GSS_C_NO_OID, &context, &buffer))) break;
        if (buffer.value && buffer.length) {
            if (!text.empty()) text += "; ";
            text.append(static_cast<const char*>(buffer.value), buffer.length);
        }
        gss_release_buffer(&ignored, &buffer);
        if (context == 0) break;
    }
    return text;
}

// How long a name look-up for a service principal waits when no deadline is given.
constexpr auto kDefaultLookupLimit = std::chrono::seconds(15);

}  // namespace

KerberosCheck CheckKerberosCredentials() {
    KerberosCheck check;
    GssObjects gss;
    OM_uint32 minor = 0;
    OM_uint32 lifetime = 0;
    const OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_INITIATE,
                                             &gss.credential, nullptr, &lifetime);
    if (GSS_ERROR(major)) {
        check.Detail = DescribeMinorStatus(minor);
        return check;
    }
    check.Principal = CacheOwner();
    // An expired ticket is still found; only its remaining lifetime tells.
    check.Outcome = lifetime == 0 ? KerberosCheck::Result::Expired : KerberosCheck::Result::Available;
    return check;
}

std::string ServicePrincipalFor(const SqlServerAddress& address) {
    return ServicePrincipalFor(address, std::chrono::steady_clock::now() + kDefaultLookupLimit);
}

std::string ServicePrincipalFor(const SqlServerAddress& address, std::chrono::steady_clock::time_point deadline) {
    if (!address.Instance.empty()) return {};
    std::string host = address.Host;
    if (host.find('.') == std::string::npos) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_V4MAPPED | AI_ADDRCONFIG | AI_CANONNAME;
        const HostLookup lookup = LookUpHost(host, "", hints, deadline);
        const addrinfo* found = lookup.Addresses.get();
        if (found && found->ai_canonname && std::string(found->ai_canonname).find('.') != std::string::npos)
            host = found->ai_canonname;
    }
    return "MSSQLSvc/" + host + ":" + std::to_string(address.Port);
}

ServiceTicketCheck CheckServiceTicket(const std::string& servicePrincipal) {
    ServiceTicketCheck check;
    GssObjects gss;
    OM_uint32 minor = 0;
    gss_buffer_desc name{servicePrincipal.size(), const_cast<char*>(servicePrincipal.data())};
    if (GSS_ERROR(gss_import_name(&minor, &name, GSS_KRB5_NT_PRINCIPAL_NAME, &gss.target))) {
        check.Detail = DescribeMinorStatus(minor);
        return check;
    }
    // The flags FreeTDS asks for; the token made is thrown away unsent.
    const OM_uint32 major =
        gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &gss.context, gss.target, GSS_C_NO_OID,
                             GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG | GSS_C_INTEG_FLAG, 0, GSS_C_NO_CHANNEL_BINDINGS,
                             GSS_C_NO_BUFFER, nullptr, &gss.token, nullptr, nullptr);
    if (!GSS_ERROR(major)) {
        check.Outcome = ServiceTicketCheck::Result::Obtained;
        return check;
    }
    check.Detail = DescribeMinorStatus(minor);
    if (static_cast<krb5_error_code>(minor) == KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN)
        check.Outcome = ServiceTicketCheck::Result::UnknownPrincipal;
    return check;
}

ServiceTicketCheck CheckServiceTicket(const std::string& servicePrincipal,
                                      std::chrono::steady_clock::time_point deadline) {
    std::optional<ServiceTicketCheck> check = base::CallWithin<ServiceTicketCheck>(
        deadline, [servicePrincipal] { return CheckServiceTicket(servicePrincipal); });
    if (check) return *check;
    ServiceTicketCheck silent;
    silent.Outcome = ServiceTicketCheck::Result::NoAnswer;
    silent.Detail = "the Kerberos KDC did not answer in time";
    return silent;
}

std::optional<KerberosCheck> CheckKerberosCredentials(std::chrono::steady_clock::time_point deadline) {
    return base::CallWithin<KerberosCheck>(deadline, [] { return CheckKerberosCredentials(); });
}

}  // namespace quellmark::data_access::sqlserver

namespace quellmark::data_access {

std::string DefaultKerberosPrincipal() { return sqlserver::CacheOwner(); }

}  // namespace quellmark::data_access
