// The "Microsoft.Jet.OLEDB.4.0" provider: an Access file read through libmdb,
// read-only. A table opened through it is read up to its first row, which the
// cursor keeps as converted values; no libmdb object outlives OpenTable except
// the database handle (with its catalog) the connection holds.
// glib first: mdbtools.h would pull it in inside extern "C", where its C++
// parts do not compile.
#include "data_access/jet/provider.h"

#include <glib.h>
#include <mdbtools.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "data_access/internal/provider.h"
#include "data_access/jet/file_check.h"

namespace quellmark::data_access::provider {
namespace {

struct HandleCloser {
    void operator()(MdbHandle* mdb) const noexcept { mdb_close(mdb); }
};
struct TableFreer {
    void operator()(MdbTableDef* table) const noexcept { mdb_free_tabledef(table); }
};
using HandlePtr = std::unique_ptr<MdbHandle, HandleCloser>;
using TablePtr = std::unique_ptr<MdbTableDef, TableFreer>;

// Days from 1970-01-01 to the civil date, proleptic Gregorian (H. Hinnant's
// algorithm), run backwards.
void CivilFromDays(long long days, long long& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<long long>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

// A stored date/time: days since 1899-12-30, the fraction the time of day (for
// a negative value the fraction counts forward from the day's start too).
// Access stores years 100 to 9999; libmdb's own conversion gives up outside
// 1900 onwards, so the conversion is done here.
std::string JetDateText(double serial) {
    if (!std::isfinite(serial) || std::fabs(serial) > 3.0e6) return {};
    double whole = std::trunc(serial);
    long long seconds = std::llround(std::fabs(serial - whole) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += serial < 0 ? -1.0 : 1.0;
    }
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(static_cast<long long>(whole) - 25569, year, month, day);  // 25569: 1899-12-30 to 1970-01-01
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", year, month, day, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

namespace {

// A value the provider does not convert: the description Get throws.
struct Unreadable {
    std::string description;
};
using Cell = std::variant<Value, Unreadable>;

class JetCursor final : public Cursor {
public:
    JetCursor(std::vector<std::string> names, bool hasRow, std::vector<Cell> cells)
        : names_(std::move(names)), hasRow_(hasRow), cells_(std::move(cells)) {}
    int ColumnCount() const override { return static_cast<int>(names_.size()); }
    std::string ColumnName(int index) const override { return names_.at(static_cast<std::size_t>(index)); }
    bool HasRow() const override { return hasRow_; }
    Value Get(int index) const override {
        const Cell& cell = cells_.at(static_cast<std::size_t>(index));
        if (const auto* unreadable = std::get_if<Unreadable>(&cell)) throw Error(unreadable->description);
        return std::get<Value>(cell);
    }
    void Close() override {
        hasRow_ = false;
        cells_.clear();
    }

private:
    std::vector<std::string> names_;
    bool hasRow_;
    std::vector<Cell> cells_;
};

// Jet 4 keeps text as UTF-16, which libmdb decodes as UCS-2: a character
// outside the Basic Multilingual Plane (a surrogate pair) would come out as
// "??". Its decoder is swapped for one of UTF-16.
void ReadTextAsUtf16(MdbHandle& mdb) {
#if MDBTOOLS_H_HAVE_ICONV_H
    if (IS_JET3((&mdb))) return;
    const iconv_t utf16 = iconv_open("UTF-8", "UTF-16LE");
    if (utf16 == reinterpret_cast<iconv_t>(-1)) return;  // UCS-2 then, as libmdb reads it itself
    iconv_close(mdb.iconv_in);
    mdb.iconv_in = utf16;
#else
    (void)mdb;
#endif
}

class JetConnection final : public Connection {
public:
    explicit JetConnection(const std::string& path) : file_(std::make_unique<jet::JetFile>(path)) {
        file_->CheckTable(2, "its catalog");
        // libmdb reads the very file checked, whatever the name points to now.
        mdb_.reset(mdb_open(file_->SameFilePath().c_str(), MDB_NOFLAGS));
        if (!mdb_) throw Error("The settings file " + path + " is not an Access database file libmdb can read.");
        mdb_set_boolean_fmt_numbers(mdb_.get());
        ReadTextAsUtf16(*mdb_);
        ReadCatalog();
    }

    // A file is read at once: there is no server to allow time.
    std::unique_ptr<Cursor> OpenTable(const std::string& name, std::int32_t) override {
        if (!mdb_) throw Error("The settings file is closed.");
        MdbCatalogEntry* entry = Find(name);
        if (!entry) throw Error("The settings file " + file_->Path() + " has no table " + name + ".");
        const std::string what = "table " + name;
        if (entry->table_pg > 0xffffffu) file_->Damaged("the definition of " + what + " points outside the file");
        file_->CheckTable(static_cast<std::uint32_t>(entry->table_pg), what);

        TablePtr table(mdb_read_table(entry));
        if (!table) file_->Damaged("the definition of " + what + " cannot be read");
        GPtrArray* columns = mdb_read_columns(table.get());
        if (!columns || columns->len != table->num_cols) file_->Damaged("the columns of " + what + " cannot be read");

        const std::size_t count = columns->len;
        const std::size_t bindSize = mdb_.get()->bind_size;
        // libmdb writes into these only inside mdb_fetch_row and never reads
        // them when the table is freed.
        std::vector<std::unique_ptr<char[]>> buffers(count);
        std::vector<int> lengths(count, 0);
        std::vector<std::string> names(count);
        for (std::size_t i = 0; i < count; ++i) {
            auto* column = static_cast<MdbColumn*>(g_ptr_array_index(columns, i));
            names[i] = column->name;
            buffers[i] = std::make_unique<char[]>(bindSize + 1);
            if (mdb_bind_column(table.get(), static_cast<int>(i + 1), buffers[i].get(), &lengths[i]) < 0)
                file_->Damaged("column " + names[i] + " of " + what + " cannot be read");
        }

        mdb_rewind_table(table.get());
        if (!mdb_fetch_row(table.get())) {
            Unbind(columns);
            return std::make_unique<JetCursor>(std::move(names), false, std::vector<Cell>(count));
        }

        std::vector<Cell> values = CurrentRow(table.get(), columns, buffers, lengths, what);
        Unbind(columns);
        return std::make_unique<JetCursor>(std::move(names), true, std::move(values));
    }

    std::unique_ptr<Cursor> Execute(const std::string&, std::int32_t, std::int64_t&) override {
        throw Error("The settings file " + (file_ ? file_->Path() + " " : std::string()) +
                    "cannot run statements: an Access file is only read table by table.");
    }

    void Close() override {
        catalog_.clear();
        mdb_.reset();
        file_.reset();
    }

    std::vector<std::string> UserTables() const {
        std::vector<std::string> names;
        for (const auto& entry : catalog_)
            if (mdb_is_user_table(entry.get())) names.emplace_back(entry->object_name);
        return names;
    }

private:
    // The tables named in MSysObjects. libmdb's own mdb_read_catalog also
    // parses every object's property blob, and a damaged blob sends that
    // parser round without end, allocating as it goes; only the columns
    // naming the objects are read here.
    void ReadCatalog() {
        MdbCatalogEntry objects{};
        objects.mdb = mdb_.get();
        objects.object_type = MDB_TABLE;
        objects.table_pg = 2;
        std::snprintf(objects.object_name, sizeof objects.object_name, "%s", "MSysObjects");
        TablePtr table(mdb_read_table(&objects));
        if (!table || !mdb_read_columns(table.get())) file_->Damaged("its catalog cannot be read");

        const std::size_t bindSize = mdb_.get()->bind_size;
        const char* const wanted[] = {"Id", "Name", "Type", "Flags"};
        std::unique_ptr<char[]> bound[4];
        for (int i = 0; i < 4; ++i) {
            bound[i] = std::make_unique<char[]>(bindSize + 1);
            if (mdb_bind_column_by_name(table.get(), const_cast<gchar*>(wanted[i]), bound[i].get(), nullptr) < 0)
                file_->Damaged(std::string("its catalog has no column ") + wanted[i]);
        }
        mdb_rewind_table(table.get());
        while (mdb_fetch_row(table.get())) {
            bound[1][bindSize] = '\0';
            const long type = std::strtol(bound[2].get(), nullptr, 10);
            if ((type & 0x7f) != MDB_TABLE) continue;
            auto entry = std::make_unique<MdbCatalogEntry>();
            *entry = MdbCatalogEntry{};
            entry->mdb = mdb_.get();
            std::snprintf(entry->object_name, sizeof entry->object_name, "%s", bound[1].get());
            entry->object_type = MDB_TABLE;
            entry->table_pg = static_cast<unsigned long>(std::strtol(bound[0].get(), nullptr, 10)) & 0x00ffffffu;
            entry->flags = static_cast<int>(std::strtol(bound[3].get(), nullptr, 10));
            catalog_.push_back(std::move(entry));
        }
        for (guint i = 0; i < table->columns->len; ++i) {
            auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, i));
            column->bind_ptr = nullptr;
            column->len_ptr = nullptr;
        }
    }

    MdbCatalogEntry* Find(const std::string& name) const {
        for (const auto& entry : catalog_)
            if (EqualsIgnoreCase(entry->object_name, name)) return entry.get();
        return nullptr;
    }

    static void Unbind(GPtrArray* columns) {
        for (guint i = 0; i < columns->len; ++i) {
            auto* column = static_cast<MdbColumn*>(g_ptr_array_index(columns, i));
            column->bind_ptr = nullptr;
            column->len_ptr = nullptr;
        }
    }

    // The row mdb_fetch_row has just bound: its null mask and fixed-size
    // values from the row itself (the page it is on is still current), its
    // text from the bound buffers, which libmdb fills already decoded.
    std::vector<Cell> CurrentRow(MdbTableDef* table, GPtrArray* columns,
                                 const std::vector<std::unique_ptr<char[]>>& buffers, const std::vector<int>& lengths,
                                 const std::string& what) const {
        MdbHandle* mdb = mdb_.get();
        const std::size_t count = columns->len;
        int start = 0;
        size_t size = 0;
        if (table->cur_row == 0 || mdb_find_row(mdb, static_cast<int>(table->cur_row - 1), &start, &size) != 0)
            file_->Damaged("the first row of " + what + " cannot be found");
        std::vector<MdbField> fields(std::max<std::size_t>(count, MDB_MAX_COLS));
        const int cracked = mdb_crack_row(table, start & 0x1fff, size, fields.data());
        if (cracked <= 0 || static_cast<std::size_t>(cracked) < count)
            file_->Damaged("the first row of " + what + " cannot be read");

        std::vector<Cell> values(count);
        for (std::size_t f = 0; f < count; ++f) {
            const MdbField& field = fields[f];
            if (field.colnum < 0 || static_cast<std::size_t>(field.colnum) >= count) continue;
            const auto index = static_cast<std::size_t>(field.colnum);
            const auto* column = static_cast<const MdbColumn*>(g_ptr_array_index(columns, index));
            values[index] = Convert(*column, field, buffers[index].get(), lengths[index], what);
        }
        return values;
    }

    Cell Convert(const MdbColumn& column, const MdbField& field, const char* bound, int boundLength,
                 const std::string& what) const {
        // A boolean lives in the null mask: a set bit is true.
        if (column.col_type == MDB_BOOL) return Value{std::int64_t{field.is_null ? 0 : -1}};
        if (field.is_null) return Value{Null{}};
        if (column.col_type == MDB_OLE || column.col_type == MDB_BINARY)
            return Unreadable{"The column " + std::string(column.name) + " of " + what + " in the settings file " +
                              file_->Path() + " holds binary data, which Quellmark does not read."};

        auto raw = [&](int bytes) -> const unsigned char* {
            if (!field.value || field.siz < bytes)
                file_->Damaged("the value of column " + std::string(column.name) + " in " + what + " is cut short");
            return static_cast<const unsigned char*>(field.value);
        };
        auto little = [](const unsigned char* p, int bytes) {
            std::uint64_t v = 0;
            for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
            return v;
        };
        switch (column.col_type) {
            case MDB_BYTE:
                return Value{std::int64_t{*raw(1)}};
            case MDB_INT:
                return Value{std::int64_t{static_cast<std::int16_t>(little(raw(2), 2))}};
            case MDB_LONGINT:
            case MDB_COMPLEX:
                return Value{std::int64_t{static_cast<std::int32_t>(little(raw(4), 4))}};
            case MDB_MONEY:
                return Value{static_cast<double>(static_cast<std::int64_t>(little(raw(8), 8))) / 10000.0};
            case MDB_FLOAT: {
                const auto bits = static_cast<std::uint32_t>(little(raw(4), 4));
                float f;
                std::memcpy(&f, &bits, sizeof f);
                return Value{static_cast<double>(f)};
            }
            case MDB_DOUBLE:
            case MDB_DATETIME: {
                const std::uint64_t bits = little(raw(8), 8);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                if (column.col_type == MDB_DOUBLE) return Value{d};
                std::string text = JetDateText(d);
                if (text.empty())
                    file_->Damaged("the date in column " + std::string(column.name) + " of " + what +
                                   " is out of range");
                return Value{std::move(text)};
            }
            default:
                break;
        }
        const std::size_t length =
            boundLength > 0 ? std::min<std::size_t>(static_cast<std::size_t>(boundLength), std::strlen(bound)) : 0;
        std::string text(bound, length);
        if (column.col_type == MDB_NUMERIC) {
            char* end = nullptr;
            const double d = std::strtod(text.c_str(), &end);
            if (end && *end == '\0' && !text.empty()) return Value{d};
        }
        return Value{std::move(text)};
    }

    std::unique_ptr<jet::JetFile> file_;
    HandlePtr mdb_;
    // After the handle, so released before it; the entries point at it.
    std::vector<std::unique_ptr<MdbCatalogEntry>> catalog_;
};

}  // namespace

namespace {
std::unique_ptr<JetConnection> Open(const ConnectionProperties& properties) {
    const std::optional<std::string> source = properties.Get("Data Source");
    if (!source || source->empty())
        throw Error("The connection string names no settings file (Data Source is missing).");
    return std::make_unique<JetConnection>(*source);
}
}  // namespace

std::unique_ptr<Connection> OpenJet(const ConnectionProperties& properties) { return Open(properties); }

std::vector<std::string> JetUserTables(const ConnectionProperties& properties) {
    return Open(properties)->UserTables();
}

}  // namespace quellmark::data_access::provider
