#include "logdb/tds_wire.h"

#include <algorithm>

#include "base/utf8.h"

namespace quellmark::logdb {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The bytes a malformed sequence at s[i] stands for: a lead byte with all
// its continuation bytes (an overlong form, a surrogate, a value above
// U+10FFFF: one U+FFFD for the whole), else that byte alone.
std::size_t MalformedLength(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t length = lead >= 0xF8 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (s.size() - i < length) return 1;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    }
    return length;
}

// Decodes one code point at `i`, advancing it; malformed input gives U+FFFD.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
    if (const auto decoded = base::DecodeUtf8(s, i)) {
        i += decoded->length;
        return decoded->value;
    }
    i += MalformedLength(s, i);
    return kReplacement;
}

std::uint16_t Le16(const std::vector<std::uint8_t>& p, std::size_t at) {
    return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}
std::uint32_t Le32(const std::vector<std::uint8_t>& p, std::size_t at) {
    return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
           (static_cast<std::uint32_t>(p[at + 2]) << 16) | (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

}  // namespace

std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t bytes) {
    std::string out;
    out.reserve(bytes / 2);
    const std::size_t units = bytes / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t u = static_cast<char32_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t low = static_cast<char32_t>(data[2 * i + 2] | (data[2 * i + 3] << 8));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                u = kReplacement;
            }
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = kReplacement;
        }
        base::AppendUtf8(out, u);
    }
    return out;
}

void AppendUtf16Le(std::vector<std::uint8_t>& out, std::string_view utf8) {
    const auto unit = [&](char32_t u) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = NextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
}

std::size_t Utf16Units(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) units += NextCodePoint(utf8, i) >= 0x10000 ? 2 : 1;
    return units;
}

std::string_view ClipUtf16(std::string_view utf8, std::size_t units) {
    std::size_t i = 0, count = 0;
    while (i < utf8.size()) {
        std::size_t next = i;
        const std::size_t width = NextCodePoint(utf8, next) >= 0x10000 ? 2 : 1;
        if (count + width > units) break;
        count += width;
        i = next;
    }
    return utf8.substr(0, i);
}

bool ReadMessage(ByteStream& stream, Message& message, std::size_t maxBytes) {
    message.payload.clear();
    bool first = true;
    for (;;) {
        std::uint8_t header[packet::kHeaderSize];
        if (!stream.Read(header, sizeof header)) {
            if (first) return false;
            throw ProtocolError("the client closed the connection inside a message");
        }
        const std::size_t length = (static_cast<std::size_t>(header[2]) << 8) | header[3];
        if (length < packet::kHeaderSize) throw ProtocolError("a packet shorter than its header");
        if (first) {
            message.type = header[0];
        } else if (header[0] != message.type) {
            throw ProtocolError("a packet of another type inside a message");
        }
        const std::size_t body = length - packet::kHeaderSize;
        if (message.payload.size() + body > maxBytes) throw ProtocolError("a request larger than the server accepts");
        const std::size_t at = message.payload.size();
        message.payload.resize(at + body);
        if (body > 0 && !stream.Read(message.payload.data() + at, body))
            throw ProtocolError("the client closed the connection inside a packet");
        first = false;
        if (header[1] & packet::kEndOfMessage) return true;
    }
}

void WriteMessage(ByteStream& stream, std::uint8_t type, const std::vector<std::uint8_t>& payload,
                  std::size_t packetSize, std::uint16_t spid) {
    const std::size_t chunk = packetSize - packet::kHeaderSize;
    std::size_t at = 0;
    std::uint8_t id = 1;
    std::vector<std::uint8_t> buffer;
    buffer.reserve(packetSize);
    do {
        const std::size_t n = std::min(chunk, payload.size() - at);
        const bool last = at + n == payload.size();
        const std::size_t length = n + packet::kHeaderSize;
        buffer.assign({type, static_cast<std::uint8_t>(last ? packet::kEndOfMessage : 0),
                       static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF),
                       static_cast<std::uint8_t>(spid >> 8), static_cast<std::uint8_t>(spid & 0xFF), id, 0});
        buffer.insert(buffer.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                      payload.begin() + static_cast<std::ptrdiff_t>(at + n));
        stream.Write(buffer.data(), buffer.size());
        at += n;
        ++id;
    } while (at < payload.size());
}

std::uint8_t PreloginEncryption(const std::vector<std::uint8_t>& p) {
    // Option table: token, offset (big endian), length (big endian); 0xFF ends it.
    for (std::size_t at = 0;; at += 5) {
        if (at >= p.size()) throw ProtocolError("a PRELOGIN request without the end of its option list");
        if (p[at] == 0xFF) return encrypt::kNotSupported;
        if (at + 5 > p.size()) throw ProtocolError("a PRELOGIN option cut short");
        const std::size_t offset = (static_cast<std::size_t>(p[at + 1]) << 8) | p[at + 2];
        const std::size_t length = (static_cast<std::size_t>(p[at + 3]) << 8) | p[at + 4];
        if (offset + length > p.size()) throw ProtocolError("a PRELOGIN option outside the request");
        if (p[at] == 0x01 && length >= 1) return p[offset];
    }
}

std::vector<std::uint8_t> PreloginReply(std::uint8_t encryption) {
    // Options: VERSION (6 bytes), ENCRYPTION (1), INSTOPT (1), THREADID (0), MARS (1).
    struct Option {
        std::uint8_t token;
        std::vector<std::uint8_t> data;
    };
    const std::vector<Option> options = {
        {0x00, {16, 0, 0x03, 0xE8, 0, 0}},  // server version 16.0.1000
        {0x01, {encryption}},
        {0x02, {0x00}},
        {0x03, {}},
        {0x04, {0x00}},  // no MARS
    };
    std::vector<std::uint8_t> out;
    std::size_t offset = options.size() * 5 + 1;
    for (const Option& o : options) {
        out.push_back(o.token);
        out.push_back(static_cast<std::uint8_t>(offset >> 8));
        out.push_back(static_cast<std::uint8_t>(offset & 0xFF));
        out.push_back(static_cast<std::uint8_t>(o.data.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(o.data.size() & 0xFF));
        offset += o.data.size();
    }
    out.push_back(0xFF);
    for (const Option& o : options) out.insert(out.end(), o.data.begin(), o.data.end());
    return out;
}

Login7 ParseLogin7(const std::vector<std::uint8_t>& p) {
    // The fixed part up to and including the Database offset and length is
    // common to every TDS 7 version.
    constexpr std::size_t kFixed = 72;
    if (p.size() < kFixed) throw ProtocolError("a LOGIN7 request shorter than its fixed part");
    const std::uint32_t declared = Le32(p, 0);
    if (declared < kFixed || declared > p.size()) throw ProtocolError("a LOGIN7 request with a wrong length");
    Login7 login;
    login.tdsVersion = Le32(p, 4);
    login.packetSize = Le32(p, 8);
    const auto units = [&](std::size_t field, bool password) {
        const std::size_t offset = Le16(p, field);
        const std::size_t count = Le16(p, field + 2);
        if (count == 0) return std::u16string();
        if (offset + 2 * count > declared) throw ProtocolError("a LOGIN7 field outside the request");
        std::u16string result(count, u'\0');
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t low = p[offset + 2 * i];
            std::uint8_t high = p[offset + 2 * i + 1];
            if (password) {
                for (std::uint8_t* b : {&low, &high}) {
                    *b ^= 0xA5;
                    *b = static_cast<std::uint8_t>((*b << 4) | (*b >> 4));
                }
            }
            result[i] = static_cast<char16_t>(low | (high << 8));
        }
        return result;
    };
    const auto utf8 = [](const std::u16string& text) {
        std::vector<std::uint8_t> bytes;
        for (const char16_t unit : text) {
            bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        std::string result = Utf16LeToUtf8(bytes.data(), bytes.size());
        std::fill(bytes.begin(), bytes.end(), 0);
        return result;
    };
    login.userUnits = units(40, false);
    login.passwordUnits = units(44, true);
    login.databaseUnits = units(68, false);
    login.hostName = utf8(units(36, false));
    login.userName = utf8(login.userUnits);
    login.password = utf8(login.passwordUnits);
    login.appName = utf8(units(48, false));
    login.serverName = utf8(units(52, false));
    login.language = utf8(units(64, false));
    login.database = utf8(login.databaseUnits);
    // OptionFlags2 bit fIntSecurity; the token's offset and length follow
    // the ClientID. A token over 64 KiB (length 0xFFFF, the real length in
    // cbSSPILong) is not served.
    constexpr std::size_t kSspiField = 78;
    login.integratedSecurity = (p[25] & 0x80) != 0;
    if (login.integratedSecurity && declared >= kSspiField + 4) {
        const std::size_t offset = Le16(p, kSspiField);
        const std::size_t bytes = Le16(p, kSspiField + 2);
        if (bytes == 0xFFFF) throw ProtocolError("a LOGIN7 security token over 64 KiB");
        if (offset + bytes > declared) throw ProtocolError("a LOGIN7 security token outside the request");
        login.sspi.assign(p.begin() + static_cast<std::ptrdiff_t>(offset),
                          p.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
    }
    return login;
}

namespace {

class Reader {
public:
    Reader(const std::vector<std::uint8_t>& p, std::size_t at) : p_(p), at_(at) {}
    bool AtEnd() const { return at_ >= p_.size(); }
    const std::uint8_t* Take(std::size_t n) {
        if (n > p_.size() - at_) throw ProtocolError("an RPC request shorter than its contents");
        const std::uint8_t* d = p_.data() + at_;
        at_ += n;
        return d;
    }
    std::uint64_t Le(std::size_t n) {
        const std::uint8_t* d = Take(n);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(d[i]) << (8 * i);
        return v;
    }

private:
    const std::vector<std::uint8_t>& p_;
    std::size_t at_;
};

std::string Latin1ToUtf8(const std::uint8_t* d, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) base::AppendUtf8(out, d[i]);
    return out;
}

RpcParam ReadParam(Reader& r) {
    RpcParam param;
    const std::size_t nameUnits = r.Le(1);
    const std::uint8_t* name = r.Take(2 * nameUnits);
    param.name = Utf16LeToUtf8(name, 2 * nameUnits);
    r.Le(1);  // status flags
    const std::uint8_t type = static_cast<std::uint8_t>(r.Le(1));
    const auto setInteger = [&](std::size_t width) {
        const std::uint64_t raw = r.Le(width);
        const int shift = static_cast<int>(64 - 8 * width);
        param.integer = static_cast<std::int64_t>(raw << shift) >> shift;
        param.isNull = false;
        param.isInteger = true;
    };
    switch (type) {
        case 0x30:  // INT1
            setInteger(1);
            param.integer &= 0xFF;
            break;
        case 0x34:
            setInteger(2);
            break;
        case 0x38:
            setInteger(4);
            break;
        case 0x7F:
            setInteger(8);
            break;
        case 0x26: {  // INTN
            r.Le(1);
            const std::size_t width = r.Le(1);
            if (width == 0) {
                param.isInteger = true;
                break;
            }
            if (width != 1 && width != 2 && width != 4 && width != 8)
                throw ProtocolError("an integer parameter of a wrong width");
            setInteger(width);
            break;
        }
        case 0xE7:
        case 0xEF:
        case 0xA7:
        case 0xAF: {
            const bool wide = type == 0xE7 || type == 0xEF;
            const std::size_t maxLength = r.Le(2);
            r.Take(5);  // collation
            std::vector<std::uint8_t> bytes;
            if (maxLength == 0xFFFF) {  // (max): chunks
                if (r.Le(8) == 0xFFFFFFFFFFFFFFFFULL) break;
                for (std::size_t chunk = r.Le(4); chunk != 0; chunk = r.Le(4)) {
                    const std::uint8_t* d = r.Take(chunk);
                    bytes.insert(bytes.end(), d, d + chunk);
                }
            } else {
                const std::size_t length = r.Le(2);
                if (length == 0xFFFF) break;
                const std::uint8_t* d = r.Take(length);
                bytes.assign(d, d + length);
            }
            param.isNull = false;
            param.text = wide ? Utf16LeToUtf8(bytes.data(), bytes.size() & ~std::size_t{1})
                              : Latin1ToUtf8(bytes.data(), bytes.size());
            break;
        }
        case 0x63:
        case 0x23: {  // NTEXT, TEXT
            r.Le(4);
            r.Take(5);
            const std::uint64_t length = r.Le(4);
            if (length == 0xFFFFFFFFULL) break;
            const std::uint8_t* d = r.Take(length);
            param.isNull = false;
            param.text = type == 0x63 ? Utf16LeToUtf8(d, length & ~std::uint64_t{1}) : Latin1ToUtf8(d, length);
            break;
        }
        default:
            throw UnsupportedRequest("a parameter of TDS type " + std::to_string(type));
    }
    return param;
}

}  // namespace

RpcCall ParseRpc(const std::vector<std::uint8_t>& payload, bool hasAllHeaders) {
    std::size_t start = 0;
    if (hasAllHeaders) {
        if (payload.size() < 4) throw ProtocolError("an RPC request without its headers");
        start = Le32(payload, 0);
        if (start < 4 || start > payload.size()) throw ProtocolError("an RPC request whose headers overrun it");
    }
    Reader r(payload, start);
    RpcCall call;
    const std::size_t nameUnits = r.Le(2);
    if (nameUnits == 0xFFFF) {
        call.procId = static_cast<std::uint16_t>(r.Le(2));
    } else {
        const std::uint8_t* name = r.Take(2 * nameUnits);
        call.procName = Utf16LeToUtf8(name, 2 * nameUnits);
    }
    r.Le(2);  // option flags
    while (!r.AtEnd()) call.params.push_back(ReadParam(r));
    return call;
}

}  // namespace quellmark::logdb
