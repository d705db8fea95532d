// The reply side of the TDS wire format: TokenWriter (tds_wire.h).
#include <bit>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "logdb/tds_wire.h"

namespace quellmark::logdb {
namespace {

// DATETIME on the wire: days since 1900-01-01 and 1/300 seconds since
// midnight, from 'YYYY-MM-DD hh:mm:ss[.fff]'; nullopt for other text.
std::optional<std::pair<std::int32_t, std::uint32_t>> DateTimeValue(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &used) != 6)
        return std::nullopt;
    int millis = 0;
    if (static_cast<std::size_t>(used) < text.size() && text[static_cast<std::size_t>(used)] == '.') {
        int scale = 100;
        for (std::size_t i = static_cast<std::size_t>(used) + 1; i < text.size() && scale > 0; ++i, scale /= 10) {
            if (text[i] < '0' || text[i] > '9') break;
            millis += (text[i] - '0') * scale;
        }
    }
    using namespace std::chrono;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    auto days = (sys_days(date) - sys_days(year{1900} / January / 1)).count();
    std::int64_t ticks = (static_cast<std::int64_t>(h) * 3600 + mi * 60 + sec) * 300 + (millis * 3 + 5) / 10;
    constexpr std::int64_t kTicksPerDay = 86400LL * 300;
    if (ticks >= kTicksPerDay) {  // .999 rounds up to the next midnight, as SQL Server rounds it
        ticks -= kTicksPerDay;
        ++days;
    }
    return std::pair{static_cast<std::int32_t>(days), static_cast<std::uint32_t>(ticks)};
}

}  // namespace

const std::uint8_t TokenWriter::kCollation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};  // Latin1_General, CI_AS

void TokenWriter::U16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
}
void TokenWriter::U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void TokenWriter::U64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void TokenWriter::BVarChar(std::string_view utf8) {
    utf8 = ClipUtf16(utf8, 255);
    U8(static_cast<std::uint8_t>(Utf16Units(utf8)));
    AppendUtf16Le(out_, utf8);
}

void TokenWriter::UsVarChar(std::string_view utf8) {
    utf8 = ClipUtf16(utf8, 4000);
    U16(static_cast<std::uint16_t>(Utf16Units(utf8)));
    AppendUtf16Le(out_, utf8);
}

void TokenWriter::EnvChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue) {
    newValue = ClipUtf16(newValue, 255);
    oldValue = ClipUtf16(oldValue, 255);
    U8(0xE3);
    U16(static_cast<std::uint16_t>(1 + 1 + 2 * Utf16Units(newValue) + 1 + 2 * Utf16Units(oldValue)));
    U8(type);
    BVarChar(newValue);
    BVarChar(oldValue);
}

void TokenWriter::EnvChangeCollation(const std::uint8_t (&collation)[5]) {
    U8(0xE3);
    U16(1 + 1 + 5 + 1);
    U8(7);
    U8(5);
    out_.insert(out_.end(), collation, collation + 5);
    U8(0);
}

void TokenWriter::Message(std::uint8_t token, std::int32_t number, std::uint8_t state, std::uint8_t severity,
                          std::string_view message, std::string_view server) {
    message = ClipUtf16(message, 4000);
    server = ClipUtf16(server, 255);
    const bool longLine = version_ >= version::k72;
    const std::size_t length =
        4 + 1 + 1 + 2 + 2 * Utf16Units(message) + 1 + 2 * Utf16Units(server) + 1 + (longLine ? 4 : 2);
    U8(token);
    U16(static_cast<std::uint16_t>(length));
    U32(static_cast<std::uint32_t>(number));
    U8(state);
    U8(severity);
    UsVarChar(message);
    BVarChar(server);
    BVarChar("");  // procedure
    if (longLine) {
        U32(1);
    } else {
        U16(1);
    }
}

void TokenWriter::Info(std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view message,
                       std::string_view server) {
    Message(0xAB, number, state, severity, message, server);
}

void TokenWriter::Error(std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view message,
                        std::string_view server) {
    Message(0xAA, number, state, severity, message, server);
}

void TokenWriter::LoginAck(std::string_view programName, std::uint8_t major, std::uint8_t minor, std::uint16_t build) {
    programName = ClipUtf16(programName, 255);
    U8(0xAD);
    U16(static_cast<std::uint16_t>(1 + 4 + 1 + 2 * Utf16Units(programName) + 4));
    U8(1);  // T-SQL interface
    for (int shift = 24; shift >= 0; shift -= 8) U8(static_cast<std::uint8_t>(version_ >> shift));
    BVarChar(programName);
    U8(major);
    U8(minor);
    U8(static_cast<std::uint8_t>(build >> 8));
    U8(static_cast<std::uint8_t>(build & 0xFF));
}

void TokenWriter::Sspi(const std::vector<std::uint8_t>& token) {
    if (token.size() > 0xFFFF) throw ProtocolError("a security token over 64 KiB");
    U8(0xED);
    U16(static_cast<std::uint16_t>(token.size()));
    out_.insert(out_.end(), token.begin(), token.end());
}

namespace {
constexpr std::uint16_t kNVarCharMaxBytes = 8000;
}

void TokenWriter::ColumnMetadata(const std::vector<Column>& columns) {
    U8(0x81);
    U16(static_cast<std::uint16_t>(columns.size()));
    for (const Column& c : columns) {
        if (version_ >= version::k72) {
            U32(0);
        } else {
            U16(0);
        }
        U16(0x0001);  // nullable
        switch (c.type) {
            case ColumnType::Int:
                U8(0x26);
                U8(4);
                break;
            case ColumnType::BigInt:
                U8(0x26);
                U8(8);
                break;
            case ColumnType::Real:
                U8(0x6D);  // FLTN
                U8(4);
                break;
            case ColumnType::NVarChar:
                U8(0xE7);
                U16(kNVarCharMaxBytes);
                out_.insert(out_.end(), kCollation, kCollation + 5);
                break;
            case ColumnType::DateTime:
                U8(0x6F);  // DATETIMN
                U8(8);
                break;
        }
        BVarChar(c.name);
    }
}

void TokenWriter::Row(const std::vector<Column>& columns, const std::vector<Cell>& cells) {
    U8(0xD1);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Cell& cell = cells.at(i);
        switch (columns[i].type) {
            case ColumnType::Int:
            case ColumnType::BigInt: {
                const int width = columns[i].type == ColumnType::Int ? 4 : 8;
                if (cell.isNull) {
                    U8(0);
                    break;
                }
                U8(static_cast<std::uint8_t>(width));
                const auto v = static_cast<std::uint64_t>(cell.integer);
                for (int b = 0; b < width; ++b) U8(static_cast<std::uint8_t>(v >> (8 * b)));
                break;
            }
            case ColumnType::Real: {
                if (cell.isNull) {
                    U8(0);
                    break;
                }
                U8(4);
                const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(cell.real));
                for (int b = 0; b < 4; ++b) U8(static_cast<std::uint8_t>(bits >> (8 * b)));
                break;
            }
            case ColumnType::NVarChar: {
                if (cell.isNull) {
                    U16(0xFFFF);
                    break;
                }
                const std::string_view text = ClipUtf16(cell.text, kNVarCharMaxBytes / 2);
                U16(static_cast<std::uint16_t>(2 * Utf16Units(text)));
                AppendUtf16Le(out_, text);
                break;
            }
            case ColumnType::DateTime: {
                const auto value = cell.isNull ? std::nullopt : DateTimeValue(cell.text);
                if (!value) {
                    U8(0);
                    break;
                }
                U8(8);
                U32(static_cast<std::uint32_t>(value->first));
                U32(value->second);
                break;
            }
        }
    }
}

void TokenWriter::Done(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
    // Inside a procedure more tokens always follow: the DONEPROC at least.
    if (inProc_) status |= done::kMore;
    DoneToken(inProc_ ? 0xFF : 0xFD, status, command, rows);
}

void TokenWriter::DoneProc(std::uint16_t status) { DoneToken(0xFE, status, 0xE0, 0); }

void TokenWriter::ReturnStatus(std::int32_t status) {
    U8(0x79);
    U32(static_cast<std::uint32_t>(status));
}

void TokenWriter::ReturnValueInt(std::uint16_t ordinal, std::string_view name, std::int32_t value) {
    U8(0xAC);
    U16(ordinal);
    BVarChar(name);
    U8(0x01);  // an output parameter
    if (version_ >= version::k72) {
        U32(0);
    } else {
        U16(0);
    }
    U16(0x0001);
    U8(0x26);
    U8(4);
    U8(4);
    U32(static_cast<std::uint32_t>(value));
}

void TokenWriter::DoneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
    U8(token);
    U16(status);
    U16(command);
    if (version_ >= version::k72) {
        U64(rows);
    } else {
        U32(static_cast<std::uint32_t>(rows));
    }
}

}  // namespace quellmark::logdb
