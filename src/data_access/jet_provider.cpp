// The "Microsoft.Jet.OLEDB.4.0" provider: an Access file read through libmdb,
// read-only. A table opened through it is read up to its first row, which the
// cursor keeps as converted values; no libmdb object outlives OpenTable except
// the database handle (with its catalog) the connection holds.
#include <mdbtools.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jet_file_check.h"
#include "jet_provider.h"
#include "provider.h"

namespace data_access::provider {
namespace {

struct HandleCloser {
    void operator()(MdbHandle* mdb) const noexcept { mdb_close(mdb); }  // frees the catalog too
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
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", year, month, day, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

namespace {

class JetCursor final : public Cursor {
public:
    JetCursor(std::vector<std::string> names, bool hasRow, std::vector<Value> values)
        : names_(std::move(names)), hasRow_(hasRow), values_(std::move(values)) {}
    int ColumnCount() const override { return static_cast<int>(names_.size()); }
    std::string ColumnName(int index) const override { return names_.at(static_cast<std::size_t>(index)); }
    bool HasRow() const override { return hasRow_; }
    Value Get(int index) const override { return values_.at(static_cast<std::size_t>(index)); }
    void Close() override {
        hasRow_ = false;
        values_.clear();
    }

private:
    std::vector<std::string> names_;
    bool hasRow_;
    std::vector<Value> values_;
};

class JetConnection final : public Connection {
public:
    explicit JetConnection(const std::string& path) : file_(std::make_unique<jet::JetFile>(path)) {
        file_->CheckTable(2, "its catalog");
        mdb_.reset(mdb_open(path.c_str(), MDB_NOFLAGS));
        if (!mdb_) throw Error("The settings file " + path + " is not an Access database file libmdb can read.");
        mdb_set_boolean_fmt_numbers(mdb_.get());
        if (!mdb_read_catalog(mdb_.get(), MDB_TABLE)) file_->Damaged("its catalog cannot be read");
    }

    std::unique_ptr<Cursor> OpenTable(const std::string& name) override {
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
        // Bound before the table is freed and released after it (declared first).
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
            return std::make_unique<JetCursor>(std::move(names), false, std::vector<Value>(count));
        }

        std::vector<Value> values = CurrentRow(table.get(), columns, buffers, lengths, what);
        Unbind(columns);
        return std::make_unique<JetCursor>(std::move(names), true, std::move(values));
    }

    std::unique_ptr<Cursor> Execute(const std::string&, std::int64_t&) override {
        throw Error("The settings file " + file_->Path() +
                    " cannot run statements: an Access file is only read table by table.");
    }

    void Close() override {
        mdb_.reset();
        file_.reset();
    }

private:
    MdbCatalogEntry* Find(const std::string& name) const {
        GPtrArray* catalog = mdb_.get()->catalog;
        if (!catalog) return nullptr;
        for (guint i = 0; i < catalog->len; ++i) {
            auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(catalog, i));
            if (entry->object_type == MDB_TABLE && EqualsIgnoreCase(entry->object_name, name)) return entry;
        }
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
    std::vector<Value> CurrentRow(MdbTableDef* table, GPtrArray* columns,
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

        std::vector<Value> values(count);
        for (std::size_t f = 0; f < count; ++f) {
            const MdbField& field = fields[f];
            if (field.colnum < 0 || static_cast<std::size_t>(field.colnum) >= count) continue;
            const auto index = static_cast<std::size_t>(field.colnum);
            const auto* column = static_cast<const MdbColumn*>(g_ptr_array_index(columns, index));
            values[index] = Convert(*column, field, buffers[index].get(), lengths[index], what);
        }
        return values;
    }

    Value Convert(const MdbColumn& column, const MdbField& field, const char* bound, int boundLength,
                  const std::string& what) const {
        // A boolean lives in the null mask: a set bit is true.
        if (column.col_type == MDB_BOOL) return std::int64_t{field.is_null ? 0 : -1};
        if (field.is_null) return Null{};

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
        case MDB_BYTE: return std::int64_t{*raw(1)};
        case MDB_INT: return std::int64_t{static_cast<std::int16_t>(little(raw(2), 2))};
        case MDB_LONGINT:
        case MDB_COMPLEX: return std::int64_t{static_cast<std::int32_t>(little(raw(4), 4))};
        case MDB_MONEY: return static_cast<double>(static_cast<std::int64_t>(little(raw(8), 8))) / 10000.0;
        case MDB_FLOAT: {
            const auto bits = static_cast<std::uint32_t>(little(raw(4), 4));
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return static_cast<double>(f);
        }
        case MDB_DOUBLE:
        case MDB_DATETIME: {
            const std::uint64_t bits = little(raw(8), 8);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            if (column.col_type == MDB_DOUBLE) return d;
            std::string text = JetDateText(d);
            if (text.empty())
                file_->Damaged("the date in column " + std::string(column.name) + " of " + what + " is out of range");
            return text;
        }
        default: break;
        }
        const std::size_t length = boundLength > 0 ? std::min<std::size_t>(static_cast<std::size_t>(boundLength),
                                                                           std::strlen(bound))
                                                   : 0;
        std::string text(bound, length);
        if (column.col_type == MDB_NUMERIC) {
            char* end = nullptr;
            const double d = std::strtod(text.c_str(), &end);
            if (end && *end == '\0' && !text.empty()) return d;
        }
        return text;
    }

    std::unique_ptr<jet::JetFile> file_;
    HandlePtr mdb_;
};

}  // namespace

std::unique_ptr<Connection> OpenJet(const ConnectionProperties& properties) {
    const std::optional<std::string> source = properties.Get("Data Source");
    if (!source || source->empty())
        throw Error("The connection string names no settings file (Data Source is missing).");
    return std::make_unique<JetConnection>(*source);
}

}  // namespace data_access::provider
