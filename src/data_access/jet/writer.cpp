#include "data_access/jet/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string_view>

#include "base/unique_fd.h"
#include "base/utf8.h"
#include "data_access/jet/cipher.h"
#include "data_access/jet/page_layout.h"

namespace quellmark::data_access::jet {
namespace {

using Bytes = std::vector<std::uint8_t>;

using quellmark::data_access::jet::kJet4;

constexpr std::size_t kPageSize = kJet4.pageSize;
constexpr std::size_t kDataPageHeader = kJet4.rowCountOffset + 2;  // type, 1, free space, owner, 4 unused, row count
constexpr std::uint32_t kUsageMapPage = 1;
constexpr std::uint32_t kCatalogDefPage = 2;  // where every reader looks for MSysObjects
constexpr std::uint32_t kCatalogDataPage = 3;
constexpr std::uint8_t kOleType = 0x0B;  // MSysObjects.LvProp, always null here
constexpr std::uint16_t kGeneralSortOrder = 0x0409;
constexpr std::size_t kTextChars = 255;
constexpr std::size_t kMinMapBitmap = 59;  // a 64-byte map row, as Access writes them

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Append16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// UTF-8 to UTF-16 code units; false for text that is not UTF-8.
bool Utf16Of(std::string_view text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = base::DecodeUtf8(text, i);
        if (!decoded) return false;
        std::uint32_t cp = decoded->value;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += decoded->length;
    }
    return true;
}

Bytes Ucs2(const std::u16string& units) {
    Bytes b;
    for (char16_t u : units) Append16(b, static_cast<std::uint16_t>(u));
    return b;
}

// Text as Access stores it: "compressed" (FF FE, then one byte a character)
// when every character is in U+0001..U+00FF, UCS-2LE otherwise.
Bytes StoredText(const std::u16string& units) {
    bool compressible = !units.empty();
    for (char16_t u : units) compressible = compressible && u != 0 && u <= 0xFF;
    if (!compressible) return Ucs2(units);
    Bytes b{0xFF, 0xFE};
    for (char16_t u : units) b.push_back(static_cast<std::uint8_t>(u));
    return b;
}

// A column as the table definition holds it.
struct ColumnDef {
    std::string name;
    std::uint8_t type = 0;
    std::uint16_t size = 0;  // bytes; 0 for long values
    bool fixed = false;
    std::uint16_t fixedOffset = 0;
    std::uint16_t varIndex = 0;
};

struct TableDef {
    std::string name;
    bool system = false;
    std::vector<ColumnDef> columns;
    std::vector<Bytes> rows;  // encoded
    std::uint16_t varCount = 0;
    std::uint16_t fixedSize = 0;
};

bool ValidName(const std::string& name) {
    std::u16string units;
    if (name.empty() || !Utf16Of(name, units) || units.size() > 64 || units.front() == u' ') return false;
    for (char16_t u : units) {
        if (u < 0x20 || u == u'.' || u == u'!' || u == u'`' || u == u'[' || u == u']') return false;
    }
    return true;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
    }
    return true;
}

TableDef Define(const std::string& name, bool system, const std::vector<std::pair<std::string, std::uint8_t>>& cols) {
    if (!ValidName(name)) throw WriteError("\"" + name + "\" is not a valid table name.");
    if (cols.empty() || cols.size() > 255) throw WriteError("The table " + name + " needs 1 to 255 columns.");
    TableDef def;
    def.name = name;
    def.system = system;
    for (const auto& [colName, type] : cols) {
        if (!ValidName(colName))
            throw WriteError("\"" + colName + "\" is not a valid column name in the table " + name + ".");
        for (const ColumnDef& c : def.columns) {
            if (SameName(c.name, colName))
                throw WriteError("The table " + name + " has the column " + colName + " twice.");
        }
        ColumnDef c;
        c.name = colName;
        c.type = type;
        switch (type) {
            case static_cast<std::uint8_t>(ColumnType::Integer):
                c.fixed = true;
                c.size = 2;
                break;
            case static_cast<std::uint8_t>(ColumnType::LongInteger):
                c.fixed = true;
                c.size = 4;
                break;
            case static_cast<std::uint8_t>(ColumnType::Text):
                c.size = kTextChars * 2;
                break;
            case kOleType:
                c.size = 0;
                break;
            default:
                throw WriteError("The column " + colName + " in the table " + name + " has an unknown type.");
        }
        if (c.fixed) {
            c.fixedOffset = def.fixedSize;
            def.fixedSize = static_cast<std::uint16_t>(def.fixedSize + c.size);
        } else {
            c.varIndex = def.varCount++;
        }
        def.columns.push_back(c);
    }
    return def;
}

// One row in the Jet 4 layout: column count, fixed columns, variable data,
// end offset, the variable columns' offsets last to first, their count, and
// the null mask (bit set = not null).
Bytes EncodeRow(const TableDef& def, const Row& row) {
    if (row.size() != def.columns.size()) {
        throw WriteError("A row of the table " + def.name + " has " + std::to_string(row.size()) + " values for " +
                         std::to_string(def.columns.size()) + " columns.");
    }
    const std::size_t n = def.columns.size();
    Bytes fixedPart(def.fixedSize, 0);
    std::vector<Bytes> varData(def.varCount);
    Bytes nullMask((n + 7) / 8, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const ColumnDef& c = def.columns[i];
        const Value& v = row[i];
        const std::string where = "The column " + c.name + " in the table " + def.name;
        if (std::holds_alternative<Null>(v)) continue;
        nullMask[i / 8] = static_cast<std::uint8_t>(nullMask[i / 8] | (1u << (i % 8)));
        if (c.fixed) {
            const auto* number = std::get_if<std::int64_t>(&v);
            if (number == nullptr) throw WriteError(where + " holds whole numbers; a text cannot be stored in it.");
            const bool is16 = c.size == 2;
            const std::int64_t lo =
                is16 ? std::numeric_limits<std::int16_t>::min() : std::numeric_limits<std::int32_t>::min();
            const std::int64_t hi =
                is16 ? std::numeric_limits<std::int16_t>::max() : std::numeric_limits<std::int32_t>::max();
            if (*number < lo || *number > hi) {
                throw WriteError(where + " is " + (is16 ? "an Integer" : "a Long Integer") +
                                 " column; the value is outside " + std::to_string(lo) + " to " + std::to_string(hi) +
                                 ".");
            }
            const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(*number));
            for (std::uint16_t k = 0; k < c.size; ++k)
                fixedPart[c.fixedOffset + k] = static_cast<std::uint8_t>(bits >> (8 * k));
        } else {
            const auto* text = std::get_if<std::string>(&v);
            if (text == nullptr || c.type == kOleType)
                throw WriteError(where + " holds text; a number cannot be stored in it.");
            std::u16string units;
            if (!Utf16Of(*text, units)) throw WriteError(where + ": the value is not valid UTF-8 text.");
            if (units.size() > kTextChars) {
                throw WriteError(where + " holds at most 255 characters; the value has " +
                                 std::to_string(units.size()) + ".");
            }
            varData[c.varIndex] = StoredText(units);
        }
    }
    Bytes out;
    Append16(out, static_cast<std::uint16_t>(n));
    out.insert(out.end(), fixedPart.begin(), fixedPart.end());
    if (def.varCount > 0) {
        std::vector<std::uint16_t> offsets;
        for (const Bytes& d : varData) {
            offsets.push_back(static_cast<std::uint16_t>(out.size()));
            out.insert(out.end(), d.begin(), d.end());
        }
        Append16(out, static_cast<std::uint16_t>(out.size()));  // end of the variable data
        for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) Append16(out, *it);
        Append16(out, def.varCount);
    }
    out.insert(out.end(), nullMask.begin(), nullMask.end());
    if (out.size() > kPageSize - kDataPageHeader - 2) {
        throw WriteError("A row of the table " + def.name + " needs " + std::to_string(out.size()) +
                         " bytes, more than a page holds.");
    }
    return out;
}

// A data page (type 1) owned by the table whose definition is on page owner;
// rows are placed from the end of the page towards its header.
Bytes DataPage(std::uint32_t owner, const std::vector<const Bytes*>& rows) {
    Bytes page(kPageSize, 0);
    page[0] = quellmark::data_access::jet::kPageData;
    page[1] = 0x01;
    Put32(page, quellmark::data_access::jet::kDataPageOwnerOffset, owner);
    Put16(page, kJet4.rowCountOffset, static_cast<std::uint16_t>(rows.size()));
    std::size_t end = kPageSize;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        end -= rows[r]->size();
        std::memcpy(&page[end], rows[r]->data(), rows[r]->size());
        Put16(page, kDataPageHeader + 2 * r, static_cast<std::uint16_t>(end));
    }
    Put16(page, 2, static_cast<std::uint16_t>(end - kDataPageHeader - 2 * rows.size()));
    return page;
}

// Groups the rows into pages in order, each page as full as it gets.
std::vector<std::vector<const Bytes*>> PackRows(const std::vector<Bytes>& rows) {
    std::vector<std::vector<const Bytes*>> pages;
    std::size_t free = 0;
    for (const Bytes& row : rows) {
        if (pages.empty() || row.size() + 2 > free) {
            pages.emplace_back();
            free = kPageSize - kDataPageHeader;
        }
        pages.back().push_back(&row);
        free -= row.size() + 2;
    }
    return pages;
}

// A usage map row of type 0: the first page it covers, then one bit a page.
Bytes UsageMap(std::uint32_t firstPage, std::uint32_t pageCount, bool markPages) {
    Bytes map(5 + std::max<std::size_t>(kMinMapBitmap, (pageCount + 7) / 8), 0);
    Put32(map, 1, firstPage);
    if (markPages) {
        for (std::uint32_t i = 0; i < pageCount; ++i)
            map[5 + i / 8] = static_cast<std::uint8_t>(map[5 + i / 8] | (1u << (i % 8)));
    }
    return map;
}

Bytes DefinitionPage(const TableDef& def, std::uint32_t rowCount, std::uint32_t usedMapRow, std::uint32_t freeMapRow) {
    Bytes b(kJet4.columnsStartOffset, 0);
    b[0] = quellmark::data_access::jet::kPageTableDefinition;
    b[1] = 0x01;
    Put32(b, 16, rowCount);
    b[40] = def.system ? 0x53 : 0x4E;
    Put16(b, 41, static_cast<std::uint16_t>(def.columns.size()));  // columns a row may have
    Put16(b, kJet4.numColsOffset - 2, def.varCount);
    Put16(b, kJet4.numColsOffset, static_cast<std::uint16_t>(def.columns.size()));
    Put32(b, kJet4.usageMapOffset, (kUsageMapPage << 8) | usedMapRow);
    Put32(b, kJet4.freeMapOffset, (kUsageMapPage << 8) | freeMapRow);
    for (std::size_t i = 0; i < def.columns.size(); ++i) {
        const ColumnDef& c = def.columns[i];
        Bytes e(kJet4.columnEntrySize, 0);
        e[0] = c.type;
        Put16(e, 5, static_cast<std::uint16_t>(i));
        Put16(e, 7, c.fixed ? 0 : c.varIndex);
        Put16(e, 9, static_cast<std::uint16_t>(i));
        if (c.type == static_cast<std::uint8_t>(ColumnType::Text)) {
            Put16(e, 11, kGeneralSortOrder);
            e[16] = 0x01;  // compressed unicode allowed
        }
        e[15] = static_cast<std::uint8_t>((c.fixed ? 0x01 : 0x00) | 0x02);
        Put16(e, 21, c.fixedOffset);
        Put16(e, 23, c.size);
        b.insert(b.end(), e.begin(), e.end());
    }
    for (const ColumnDef& c : def.columns) {
        std::u16string units;
        Utf16Of(c.name, units);
        const Bytes name = Ucs2(units);
        Append16(b, static_cast<std::uint16_t>(name.size()));
        b.insert(b.end(), name.begin(), name.end());
    }
    Append16(b, 0xFFFF);  // no long-value column usage maps follow
    if (b.size() > kPageSize) throw WriteError("The definition of the table " + def.name + " does not fit a page.");
    Put16(b, 2, static_cast<std::uint16_t>(kPageSize - b.size() - 8));
    Put32(b, 8, static_cast<std::uint32_t>(b.size()));
    b.resize(kPageSize, 0);
    return b;
}

// Page 0: format version, code page, database key 0 (not encrypted), no
// password, creation date; the 128 bytes from 0x18 masked with the fixed key.
Bytes HeaderPage() {
    Bytes p(kPageSize, 0);
    p[1] = 0x01;
    std::memcpy(&p[quellmark::data_access::jet::kSignatureOffset], quellmark::data_access::jet::kJetSignature,
                sizeof quellmark::data_access::jet::kJetSignature);
    Put32(p, quellmark::data_access::jet::kVersionOffset, 1);  // Jet 4
    Put16(p, 0x3C, 1252);
    Put32(p, quellmark::data_access::jet::kDatabaseKeyOffset, 0);
    Put16(p, 0x6E, kGeneralSortOrder);
    const double created = static_cast<double>(std::time(nullptr)) / 86400.0 + 25569.0;  // OLE date
    std::memcpy(&p[0x72], &created, sizeof created);
    // An empty password is stored as the mask derived from the creation date.
    const auto mask = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::floor(created)));
    for (std::size_t i = 0; i < 40; ++i) p[0x42 + i] = static_cast<std::uint8_t>(mask >> (8 * (i % 4)));
    quellmark::data_access::jet::Rc4(quellmark::data_access::jet::kHeaderKey,
                                     &p[quellmark::data_access::jet::kEncodedHeaderOffset],
                                     quellmark::data_access::jet::kEncodedHeaderLengthJet4);
    return p;
}

std::string ErrnoText() { return std::strerror(errno); }

// Removes the temporary file unless the rename went through.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    void Keep() noexcept { kept_ = true; }

private:
    std::filesystem::path path_;
    bool kept_ = false;
};

// ".NAME.tmpNNNNNN" beside NAME, NAME cut short (at a character boundary)
// where the whole would be longer than the folder allows a name to be.
std::string TemporaryName(const std::filesystem::path& dir, const std::string& name, unsigned number) {
    const std::string suffix = ".tmp" + std::to_string(number);
    long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    const std::size_t room =
        static_cast<std::size_t>(limit) - std::min<std::size_t>(static_cast<std::size_t>(limit), 1 + suffix.size());
    std::size_t keep = std::min(name.size(), room);
    // Not in the middle of a UTF-8 sequence.
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return "." + name.substr(0, keep) + suffix;
}

}  // namespace

std::vector<std::uint8_t> BuildDatabase(const std::vector<Table>& tables) {
    std::vector<TableDef> defs;
    for (const Table& t : tables) {
        std::vector<std::pair<std::string, std::uint8_t>> cols;
        for (const Column& c : t.columns) cols.emplace_back(c.name, static_cast<std::uint8_t>(c.type));
        TableDef def = Define(t.name, false, cols);
        if (SameName(t.name, "MSysObjects")) throw WriteError("The table name MSysObjects is reserved.");
        for (const TableDef& other : defs) {
            if (SameName(other.name, t.name)) throw WriteError("The table " + t.name + " is given twice.");
        }
        for (const Row& row : t.rows) def.rows.push_back(EncodeRow(def, row));
        defs.push_back(std::move(def));
    }

    // Pages: 0 header, 1 usage maps, 2-3 the catalog, then each user table's
    // definition followed by its data pages.
    std::vector<std::vector<std::vector<const Bytes*>>> packed;
    std::vector<std::uint32_t> defPages;
    std::uint32_t next = kCatalogDataPage + 1;
    for (const TableDef& def : defs) {
        packed.push_back(PackRows(def.rows));
        defPages.push_back(next);
        next += 1 + static_cast<std::uint32_t>(packed.back().size());
    }
    if (next > 0xFFFFFF) throw WriteError("The tables hold more rows than the file can address.");

    TableDef catalog = Define("MSysObjects", true,
                              {{"Id", static_cast<std::uint8_t>(ColumnType::LongInteger)},
                               {"Name", static_cast<std::uint8_t>(ColumnType::Text)},
                               {"Type", static_cast<std::uint8_t>(ColumnType::Integer)},
                               {"Flags", static_cast<std::uint8_t>(ColumnType::LongInteger)},
                               {"LvProp", kOleType}});
    const std::int64_t tableType = 1;
    const std::int64_t systemFlags = 0x80000000LL;
    catalog.rows.push_back(
        EncodeRow(catalog, {std::int64_t{kCatalogDefPage}, std::string("MSysObjects"), tableType,
                            static_cast<std::int64_t>(static_cast<std::int32_t>(systemFlags)), Null{}}));
    for (std::size_t i = 0; i < defs.size(); ++i) {
        catalog.rows.push_back(
            EncodeRow(catalog, {std::int64_t{defPages[i]}, defs[i].name, tableType, std::int64_t{0}, Null{}}));
    }
    const auto catalogPages = PackRows(catalog.rows);
    if (catalogPages.size() != 1) throw WriteError("Too many tables for one catalog page.");

    // Page 1: the used-pages and free-space maps of every table, two rows each.
    std::vector<Bytes> maps;
    maps.push_back(UsageMap(kCatalogDataPage, 1, true));
    maps.push_back(UsageMap(kCatalogDataPage, 1, false));
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const auto count = static_cast<std::uint32_t>(packed[i].size());
        const std::uint32_t first = count == 0 ? 0 : defPages[i] + 1;
        maps.push_back(UsageMap(first, count, true));
        maps.push_back(UsageMap(first, count, false));
    }
    const auto mapPages = PackRows(maps);
    if (mapPages.size() != 1 || maps.size() > 255) throw WriteError("The tables' page maps do not fit one page.");

    Bytes file = HeaderPage();
    auto append = [&file](const Bytes& page) { file.insert(file.end(), page.begin(), page.end()); };
    append(DataPage(0, mapPages.front()));
    append(DefinitionPage(catalog, static_cast<std::uint32_t>(catalog.rows.size()), 0, 1));
    append(DataPage(kCatalogDefPage, catalogPages.front()));
    for (std::size_t i = 0; i < defs.size(); ++i) {
        append(DefinitionPage(defs[i], static_cast<std::uint32_t>(defs[i].rows.size()),
                              static_cast<std::uint32_t>(2 + 2 * i), static_cast<std::uint32_t>(3 + 2 * i)));
        for (const auto& pageRows : packed[i]) append(DataPage(defPages[i], pageRows));
    }
    return file;
}

void WriteDatabase(const std::filesystem::path& file, const std::vector<Table>& tables, const FileAccess& access) {
    WriteFileAtomically(file, BuildDatabase(tables), access);
}

void WriteFileAtomically(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes,
                         const FileAccess& access) {
    const std::string where = "Cannot write " + file.string() + ": ";
    if (file.filename().empty()) throw WriteError(where + "the path names no file.");
    const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");

    std::random_device random;
    std::filesystem::path tempPath;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tempPath = dir / TemporaryName(dir, file.filename().string(), random() % 1000000);
        // Never readable by others, not even for a moment: the file may hold a password.
        fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) throw WriteError(where + ErrnoText());
    }
    if (fd < 0) throw WriteError(where + "no free temporary name beside it.");
    quellmark::base::UniqueFd out(fd);
    TemporaryFile temp(tempPath);

    if (access.group) {
        if (::fchown(out.Get(), static_cast<uid_t>(-1), access.group->id) != 0)
            throw WriteError(where + "cannot give it to the group " + access.group->name + ": " + ErrnoText());
    }
    // Exactly this mode, whatever the umask.
    if (::fchmod(out.Get(), access.group ? 0640 : 0600) != 0) throw WriteError(where + ErrnoText());
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(out.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw WriteError(where + ErrnoText());
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(out.Get()) != 0) throw WriteError(where + ErrnoText());
    if (::close(out.Release()) != 0) throw WriteError(where + ErrnoText());
    if (::rename(tempPath.c_str(), file.c_str()) != 0) throw WriteError(where + ErrnoText());
    temp.Keep();
    const quellmark::base::UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.Get());  // best effort: the rename itself has already happened
}

}  // namespace quellmark::data_access::jet
