// The TDS 7.x wire format as the log server speaks it: packet framing,
// UTF-16LE text, the PRELOGIN and LOGIN7 requests it reads and the tokens
// it writes (LOGINACK, ENVCHANGE, INFO/ERROR, COLMETADATA, ROW, DONE).
//
// Data flow: the server reads one whole message (all packets up to the one
// marked end-of-message) from a connection's ByteStream (the socket, or TLS
// over it), decodes it with the functions here, and answers with a
// TokenWriter's bytes, which WriteMessage splits into packets of the
// negotiated size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark::logdb {

// A malformed or unexpected request; the connection is closed.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace packet {
constexpr std::uint8_t kSqlBatch = 0x01;
constexpr std::uint8_t kRpc = 0x03;
constexpr std::uint8_t kReply = 0x04;
constexpr std::uint8_t kAttention = 0x06;
constexpr std::uint8_t kTransactionManager = 0x0E;
constexpr std::uint8_t kLogin7 = 0x10;
constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::uint8_t kEndOfMessage = 0x01;
constexpr std::size_t kHeaderSize = 8;
}  // namespace packet

// TDS versions as LOGINACK reports them.
namespace version {
constexpr std::uint32_t k71 = 0x71000001;
constexpr std::uint32_t k72 = 0x72090002;
constexpr std::uint32_t k74 = 0x74000004;
}  // namespace version

// DONE status bits and the command codes the server reports.
namespace done {
constexpr std::uint16_t kMore = 0x0001;
constexpr std::uint16_t kError = 0x0002;
constexpr std::uint16_t kCount = 0x0010;
constexpr std::uint16_t kAttention = 0x0020;
constexpr std::uint16_t kCmdSelect = 0x00C1;
constexpr std::uint16_t kCmdInsert = 0x00C3;
constexpr std::uint16_t kCmdDelete = 0x00C4;
constexpr std::uint16_t kCmdSet = 0x00B9;
}  // namespace done

std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t bytes);
void AppendUtf16Le(std::vector<std::uint8_t>& out, std::string_view utf8);
std::size_t Utf16Units(std::string_view utf8);
// `utf8` cut to at most `units` UTF-16 code units, at a code point boundary.
std::string_view ClipUtf16(std::string_view utf8, std::size_t units);

struct Message {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
};

// The bytes of one client connection, in order.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Fills `size` bytes. Returns false when the stream ended cleanly before
    // the first of them; throws ProtocolError when it ends inside them.
    virtual bool Read(std::uint8_t* data, std::size_t size) = 0;
    virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
};

// Reads packets until one carries end-of-message. Returns false on a clean
// end of stream before the first byte. Throws ProtocolError on a bad header,
// a type change inside a message, or a message over `maxBytes`.
bool ReadMessage(ByteStream& stream, Message& message, std::size_t maxBytes);

// Sends `payload` as packets of type `type`, at most `packetSize` bytes each.
void WriteMessage(ByteStream& stream, std::uint8_t type, const std::vector<std::uint8_t>& payload,
                  std::size_t packetSize, std::uint16_t spid);

// The PRELOGIN option ENCRYPTION.
namespace encrypt {
constexpr std::uint8_t kOff = 0x00;           // client: TLS possible; server: the login only in TLS
constexpr std::uint8_t kOn = 0x01;            // everything in TLS
constexpr std::uint8_t kNotSupported = 0x02;  // no TLS at all
constexpr std::uint8_t kRequired = 0x03;      // server: everything in TLS, the client asked for less
}  // namespace encrypt

// The client's ENCRYPTION value in a PRELOGIN request (kNotSupported when it
// gives none). Throws ProtocolError for a malformed option list.
std::uint8_t PreloginEncryption(const std::vector<std::uint8_t>& payload);

// The server's PRELOGIN answer, with `encryption` as its ENCRYPTION value.
std::vector<std::uint8_t> PreloginReply(std::uint8_t encryption);

struct Login7 {
    std::uint32_t tdsVersion = 0;  // as the client wrote it (little endian on the wire)
    std::uint32_t packetSize = 0;
    std::string hostName, userName, password, appName, serverName, language, database;
    // The user name, password and database as sent: UTF-16 code units.
    std::u16string userUnits, passwordUnits, databaseUnits;
    // Integrated security: the client's security token (a Kerberos AP-REQ
    // from FreeTDS) instead of a user name and password.
    bool integratedSecurity = false;
    std::vector<std::uint8_t> sspi;
};
Login7 ParseLogin7(const std::vector<std::uint8_t>& payload);

// An RPC request: the procedure (by number, or by name when procId is 0) and
// its parameters. Integer and character parameters are decoded; other types
// throw UnsupportedRequest.
class UnsupportedRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
struct RpcParam {
    std::string name;
    bool isNull = true;
    bool isInteger = false;
    std::int64_t integer = 0;
    std::string text;
};
struct RpcCall {
    std::uint16_t procId = 0;
    std::string procName;
    std::vector<RpcParam> params;
};
RpcCall ParseRpc(const std::vector<std::uint8_t>& payload, bool hasAllHeaders);

// The numbers of the system procedures an RPC request may name by number
// instead of by name.
namespace proc {
constexpr std::uint16_t kExecuteSql = 10;  // sp_executesql
constexpr std::uint16_t kPrepare = 11;     // sp_prepare
constexpr std::uint16_t kExecute = 12;     // sp_execute
constexpr std::uint16_t kPrepExec = 13;    // sp_prepexec
constexpr std::uint16_t kUnprepare = 15;   // sp_unprepare
}  // namespace proc

// Builds a reply's token stream for one TDS version.
class TokenWriter {
public:
    explicit TokenWriter(std::uint32_t tdsVersion) : version_(tdsVersion) {}

    void EnvChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void EnvChangeCollation(const std::uint8_t (&collation)[5]);
    void Info(std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view message,
              std::string_view server);
    void Error(std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view message,
               std::string_view server);
    void LoginAck(std::string_view programName, std::uint8_t major, std::uint8_t minor, std::uint16_t build);
    // SSPI: the server's security token, e.g. the Kerberos AP-REP that
    // completes a mutual authentication.
    void Sspi(const std::vector<std::uint8_t>& token);

    // Real: SQL Server's real (float(24)), four bytes. A DateTime cell carries
    // its value as text, 'YYYY-MM-DD hh:mm:ss[.fff]'.
    enum class ColumnType { Int, BigInt, NVarChar, Real, DateTime };
    struct Column {
        std::string name;
        ColumnType type;
    };
    struct Cell {
        bool isNull = false;
        std::int64_t integer = 0;
        std::string text;
        double real = 0;
    };
    void ColumnMetadata(const std::vector<Column>& columns);
    void Row(const std::vector<Column>& columns, const std::vector<Cell>& cells);
    // DONE, or DONEINPROC while SetInProc(true): a statement inside an RPC.
    void Done(std::uint16_t status, std::uint16_t command, std::uint64_t rows);
    void DoneProc(std::uint16_t status);
    void SetInProc(bool inProc) { inProc_ = inProc; }
    void ReturnStatus(std::int32_t status);
    void ReturnValueInt(std::uint16_t ordinal, std::string_view name, std::int32_t value);

    std::vector<std::uint8_t>& Bytes() { return out_; }
    bool Empty() const { return out_.empty(); }

    static const std::uint8_t kCollation[5];

private:
    void Message(std::uint8_t token, std::int32_t number, std::uint8_t state, std::uint8_t severity,
                 std::string_view message, std::string_view server);
    void U8(std::uint8_t v) { out_.push_back(v); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void U64(std::uint64_t v);
    void BVarChar(std::string_view utf8);
    void UsVarChar(std::string_view utf8);

    void DoneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command, std::uint64_t rows);

    std::uint32_t version_;
    bool inProc_ = false;
    std::vector<std::uint8_t> out_;
};

}  // namespace quellmark::logdb
