#include "data_access/internal/odbc_kerberos.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>

namespace data_access::odbc {
namespace {

// The few GSS-API (RFC 2744) types and constants needed here; the library is
// loaded at run time so that Quellmark does not need its development files.
using OM_uint32 = std::uint32_t;
struct GssBuffer {
    std::size_t length;
    void* value;
};
constexpr int kGssInitiate = 1;
constexpr int kGssMechCode = 2;
constexpr OM_uint32 kGssIndefinite = 0xffffffffu;
constexpr OM_uint32 kGssRoutineErrorMask = 0xffu << 16;

using AcquireCred = OM_uint32 (*)(OM_uint32*, void*, OM_uint32, void*, int, void**, void**, OM_uint32*);
using ReleaseCred = OM_uint32 (*)(OM_uint32*, void**);
using DisplayStatus = OM_uint32 (*)(OM_uint32*, OM_uint32, int, void*, OM_uint32*, GssBuffer*);
using ReleaseBuffer = OM_uint32 (*)(OM_uint32*, GssBuffer*);

class Library {
public:
    // RTLD_NODELETE: the Kerberos libraries stay mapped after dlclose, as the
    // ODBC driver loads them again for the login itself.
    explicit Library(const char* name) noexcept : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
    ~Library() {
        if (handle_) dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    template <class F>
    F Symbol(const char* name) const noexcept {
        return reinterpret_cast<F>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

std::string DescribeMinorStatus(const Library& gss, OM_uint32 minor) {
    const auto display = gss.Symbol<DisplayStatus>("gss_display_status");
    const auto release = gss.Symbol<ReleaseBuffer>("gss_release_buffer");
    if (!display || !release || minor == 0) return {};
    std::string text;
    OM_uint32 context = 0;
    // The library splits a status into a few messages; a handful is plenty.
    for (int part = 0; part < 4; ++part) {
        OM_uint32 ignored = 0;
        GssBuffer buffer{0, nullptr};
        if (display(&ignored, minor, kGssMechCode, nullptr, &context, &buffer) & kGssRoutineErrorMask) break;
        if (buffer.value && buffer.length) {
            if (!text.empty()) text += "; ";
            text.append(static_cast<const char*>(buffer.value), buffer.length);
        }
        release(&ignored, &buffer);
        if (context == 0) break;
    }
    return text;
}

}  // namespace

KerberosCheck CheckKerberosCredentials() {
    KerberosCheck check;
    const Library gss("libgssapi_krb5.so.2");
    if (!gss) return check;
    const auto acquire = gss.Symbol<AcquireCred>("gss_acquire_cred");
    const auto release = gss.Symbol<ReleaseCred>("gss_release_cred");
    if (!acquire || !release) return check;

    OM_uint32 minor = 0;
    OM_uint32 lifetime = 0;
    void* credentials = nullptr;
    const OM_uint32 major =
        acquire(&minor, nullptr, kGssIndefinite, nullptr, kGssInitiate, &credentials, nullptr, &lifetime);
    if (credentials) {
        OM_uint32 ignored = 0;
        release(&ignored, &credentials);
    }
    if ((major & kGssRoutineErrorMask) != 0) {
        check.Outcome = KerberosCheck::Result::Missing;
        check.Detail = DescribeMinorStatus(gss, minor);
    } else if (lifetime == 0) {
        check.Outcome = KerberosCheck::Result::Missing;
        check.Detail = "the Kerberos ticket has expired";
    } else {
        check.Outcome = KerberosCheck::Result::Available;
    }
    return check;
}

}  // namespace data_access::odbc
