#include "logdb/kerberos_acceptor.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

#include <utility>

namespace quellmark::logdb {
namespace {

// One owner per GSSAPI object, released once.
template <class Handle, OM_uint32 (*Release)(OM_uint32*, Handle*)>
class Owned {
public:
    Owned() = default;
    ~Owned() {
        OM_uint32 minor = 0;
        if (handle_) Release(&minor, &handle_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Handle Get() const noexcept { return handle_; }
    Handle* Out() noexcept { return &handle_; }

private:
    Handle handle_{};
};

OM_uint32 DeleteContext(OM_uint32* minor, gss_ctx_id_t* context) {
    return gss_delete_sec_context(minor, context, GSS_C_NO_BUFFER);
}

using Credential = Owned<gss_cred_id_t, gss_release_cred>;
using Name = Owned<gss_name_t, gss_release_name>;
using Context = Owned<gss_ctx_id_t, DeleteContext>;

// A buffer GSSAPI filled, released once.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() {
        OM_uint32 minor = 0;
        gss_release_buffer(&minor, &buffer_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    gss_buffer_t Out() noexcept { return &buffer_; }
    std::string Text() const { return std::string(static_cast<const char*>(buffer_.value), buffer_.length); }
    std::vector<std::uint8_t> Bytes() const {
        const auto* data = static_cast<const std::uint8_t*>(buffer_.value);
        return std::vector<std::uint8_t>(data, data + buffer_.length);
    }

private:
    gss_buffer_desc buffer_{0, nullptr};
};

std::string Describe(OM_uint32 major, OM_uint32 minor) {
    std::string text;
    const auto add = [&](OM_uint32 status, int type) {
        OM_uint32 context = 0;
        do {
            OM_uint32 ignored = 0;
            Buffer message;
            if (GSS_ERROR(gss_display_status(&ignored, status, type, GSS_C_NO_OID, &context, message.Out()))) return;
            if (!text.empty()) text += "; ";
            text += message.Text();
        } while (context != 0);
    };
    add(major, GSS_C_GSS_CODE);
    if (minor != 0) add(minor, GSS_C_MECH_CODE);
    return text;
}

}  // namespace

KerberosLogin AcceptKerberosToken(const std::string& keytab, const std::vector<std::uint8_t>& token) {
    KerberosLogin login;
    OM_uint32 minor = 0;
    gss_key_value_element_desc element{"keytab", keytab.c_str()};
    const gss_key_value_set_desc store{1, &element};
    Credential credential;
    OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_ACCEPT,
                                            &store, credential.Out(), nullptr, nullptr);
    if (GSS_ERROR(major)) {
        login.problem = "no service key in " + keytab + ": " + Describe(major, minor);
        return login;
    }
    gss_buffer_desc input{token.size(), const_cast<std::uint8_t*>(token.data())};
    Context context;
    Name client;
    Buffer answer;
    major = gss_accept_sec_context(&minor, context.Out(), credential.Get(), &input, GSS_C_NO_CHANNEL_BINDINGS,
                                   client.Out(), nullptr, answer.Out(), nullptr, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        login.problem = Describe(major, minor);
        return login;
    }
    if (major & GSS_S_CONTINUE_NEEDED) {
        login.problem = "the token needs more than one round (SPNEGO or NTLM), which this server does not take";
        return login;
    }
    Buffer name;
    if (GSS_ERROR(gss_display_name(&minor, client.Get(), name.Out(), nullptr))) {
        login.problem = "the client's name cannot be read";
        return login;
    }
    login.accepted = true;
    login.principal = name.Text();
    login.answer = answer.Bytes();
    return login;
}

std::string LoginNameOf(const std::string& principal) {
    const std::size_t at = principal.rfind('@');
    return at == std::string::npos ? principal : principal.substr(0, at);
}

}  // namespace quellmark::logdb
