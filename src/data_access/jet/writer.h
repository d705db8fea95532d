// Writes Jet 4 (Access 2000) database files holding plain user tables: Text,
// Integer and Long Integer columns, no indexes, no long values. The files are
// what libmdb (and so the Jet provider), mdbtools' tools and mdb-reader read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quellmark::data_access::jet {

enum class ColumnType : std::uint8_t {
    Integer = 0x03,      // 16-bit signed
    LongInteger = 0x04,  // 32-bit signed
    Text = 0x0A,         // up to 255 characters
};

struct Column {
    std::string name;
    ColumnType type = ColumnType::Text;
};

struct Null {
    bool operator==(const Null&) const = default;
};
// A cell: null, a whole number (Integer / Long Integer columns) or UTF-8 text
// (Text columns).
using Value = std::variant<Null, std::int64_t, std::string>;
using Row = std::vector<Value>;

struct Table {
    std::string name;
    std::vector<Column> columns;
    std::vector<Row> rows;
};

// A table, column or value the format cannot hold. The description names the
// table and column but never repeats a value, which may be a password.
class WriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole file as bytes. Throws WriteError for an invalid name, a value of
// the wrong kind for its column, a number out of its column's range, text
// longer than 255 characters or not UTF-8, or more rows than the file can map.
std::vector<std::uint8_t> BuildDatabase(const std::vector<Table>& tables);

// Who may read a written file. Without a group it is mode 0600 (its owner
// only); with one, 0640 and owned by that group, which the writer must be
// allowed to give it (root, or a member of the group).
struct FileAccess {
    struct Group {
        gid_t id = 0;
        std::string name;  // for messages
    };
    std::optional<Group> group;
};

// Builds the file and puts it in place atomically: written to a temporary file
// beside it with the access asked for, flushed, then renamed over it. A file it
// replaces does not pass on its mode or group. On any failure the temporary
// file is removed and an existing file is left as it was. Throws WriteError.
void WriteDatabase(const std::filesystem::path& file, const std::vector<Table>& tables, const FileAccess& access = {});

// The second half of WriteDatabase: puts the bytes in place atomically.
void WriteFileAtomically(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes,
                         const FileAccess& access = {});

}  // namespace quellmark::data_access::jet
