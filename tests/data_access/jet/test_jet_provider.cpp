// The Access-file provider against real files made by Access (checked against
// what mdb-export reads from them) and against damaged copies of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/jet/connection_string.h"
#include "data_access/jet/provider.h"
#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using quellmark::data_access::Value;

// Made by Access: a Jet 4 file and a Jet 3 file.
fs::path Jet4File() { return quellmark::test::RealMdb("DateTestDatabase.mdb"); }
fs::path Jet3File() { return quellmark::test::RealMdb("nwind.mdb"); }

std::string ConnectionStringFor(const fs::path& file) { return quellmark::data_access::jet::JetConnectionString(file); }

// The header and first record of mdb-export's CSV for a table; a null cell
// (printed as the -0 marker, unquoted) comes back as "\x01NULL".
struct ExportedRow {
    std::vector<std::string> names;
    std::vector<std::string> values;
};

std::vector<std::string> ParseCsvRecord(const std::string& text, std::size_t& at) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quoted) {
            if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                cells.back() += '"';
                ++at;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else if (c == '\n') {
            ++at;
            break;
        } else {
            cells.back() += c;
        }
    }
    return cells;
}

ExportedRow ExportFirstRow(const fs::path& file, const std::string& table) {
    const std::string out = quellmark::test::Run("mdb-export", {"-0", "NULLMARK", "-T", "%Y-%m-%d %H:%M:%S", "-D",
                                                                "%Y-%m-%d %H:%M:%S", file.string(), table})
                                .out;
    std::size_t at = 0;
    ExportedRow row;
    row.names = ParseCsvRecord(out, at);
    row.values = ParseCsvRecord(out, at);
    return row;
}

// Opens the file and the table through the public classes and returns the
// first row as the provider converted it.
std::vector<quellmark::data_access::Field> ReadFirstRow(const fs::path& file, const std::string& table) {
    quellmark::data_access::Connection connection;
    connection.ConnectionString = ConnectionStringFor(file);
    connection.Open();
    quellmark::data_access::Recordset recordset;
    recordset.Open(table, connection, quellmark::data_access::adOpenStatic, quellmark::data_access::adLockOptimistic,
                   quellmark::data_access::adCmdTable);
    EXPECT_FALSE(recordset.EndOfFile());
    std::vector<quellmark::data_access::Field> fields;
    for (int i = 0; i < recordset.Fields().Count(); ++i) fields.push_back(recordset.Fields().Item(i));
    return fields;
}

// Opening the file and then the table fails: returns the description, having
// checked it is also the last entry in the connection's Errors.
std::string OpenFailure(const fs::path& file, const std::string& table = "Settings_General") {
    quellmark::data_access::Connection connection;
    connection.ConnectionString = ConnectionStringFor(file);
    try {
        connection.Open();
        quellmark::data_access::Recordset recordset;
        recordset.Open(table, connection, quellmark::data_access::adOpenStatic,
                       quellmark::data_access::adLockOptimistic, quellmark::data_access::adCmdTable);
    } catch (const quellmark::data_access::Error& e) {
        EXPECT_GE(connection.Errors().Count(), 1);
        if (connection.Errors().Count() >= 1) {
            EXPECT_EQ(connection.Errors().Item(connection.Errors().Count() - 1).Description, e.what());
        }
        return e.what();
    }
    ADD_FAILURE() << "opening " << table << " in " << file << " did not fail";
    return {};
}

std::vector<char> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::vector<char>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void ExpectMatchesExport(const fs::path& file, const std::string& table) {
    const ExportedRow expected = ExportFirstRow(file, table);
    ASSERT_FALSE(expected.values.empty()) << "mdb-export printed nothing for " << table;
    const std::vector<quellmark::data_access::Field> fields = ReadFirstRow(file, table);
    ASSERT_EQ(fields.size(), expected.names.size());
    ASSERT_EQ(fields.size(), expected.values.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        SCOPED_TRACE(table + "." + expected.names[i]);
        EXPECT_EQ(fields[i].Name(), expected.names[i]);
        const Value& value = fields[i].Value();
        const std::string& text = expected.values[i];
        if (text == "NULLMARK") {
            EXPECT_TRUE(quellmark::data_access::IsNull(value));
        } else if (const auto* real = std::get_if<double>(&value)) {
            EXPECT_DOUBLE_EQ(*real, std::stod(text));
        } else {
            EXPECT_EQ(quellmark::data_access::ToText(value), text);
        }
    }
}

TEST(JetProviderRealFiles, Jet4FirstRowMatchesMdbExport) {
    ExpectMatchesExport(Jet4File(), "DateTest");
    const std::vector<quellmark::data_access::Field> fields =
        ReadFirstRow(Jet4File(), "datetest");  // names are case-blind
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_TRUE(std::holds_alternative<std::int64_t>(fields[0].Value()));  // IDCol, Long Integer
    EXPECT_TRUE(std::holds_alternative<std::string>(fields[4].Value()));   // LongTextCol, Memo
    EXPECT_TRUE(std::holds_alternative<std::string>(fields[5].Value()));   // ShortTextCol, Text
}

TEST(JetProviderRealFiles, Jet3FirstRowsMatchMdbExport) {
    ExpectMatchesExport(Jet3File(), "Shippers");
    ExpectMatchesExport(Jet3File(), "Products");  // Long, Text, Currency, Integer, Yes/No
    ExpectMatchesExport(Jet3File(), "Orders");    // dates
    const std::vector<quellmark::data_access::Field> products = ReadFirstRow(Jet3File(), "Products");
    EXPECT_TRUE(std::holds_alternative<std::int64_t>(products[0].Value()));
    EXPECT_TRUE(std::holds_alternative<double>(products[5].Value()));  // UnitPrice, Currency
}

TEST(JetProviderRealFiles, UserTablesAreThoseMdbToolsLists) {
    for (const fs::path& file : {Jet3File(), Jet4File()}) {
        std::vector<std::string> expected;
        const std::string listed = quellmark::test::Run("mdb-tables", {"-1", file.string()}).out;
        std::size_t at = 0;
        while (at < listed.size()) {
            const std::size_t end = listed.find('\n', at);
            expected.push_back(listed.substr(at, end - at));
            at = end == std::string::npos ? listed.size() : end + 1;
        }
        std::vector<std::string> tables = quellmark::data_access::provider::JetUserTables(
            quellmark::data_access::ConnectionProperties::Parse(ConnectionStringFor(file)));
        std::sort(expected.begin(), expected.end());
        std::sort(tables.begin(), tables.end());
        EXPECT_EQ(tables, expected) << file;
    }
}

TEST(JetProviderRealFiles, MissingTableIsNamed) {
    for (const fs::path& file : {Jet3File(), Jet4File()}) {
        EXPECT_EQ(OpenFailure(file), "The settings file " + file.string() + " has no table Settings_General.");
    }
}

TEST(JetProviderRealFiles, BinaryColumnFailsOnlyWhenRead) {
    quellmark::data_access::Connection connection;
    connection.ConnectionString = ConnectionStringFor(Jet3File());
    connection.Open();
    quellmark::data_access::Recordset recordset;
    recordset.Open("Employees", connection, 3, 3, 2);
    EXPECT_EQ(quellmark::data_access::ToText(recordset.Fields().Item("LastName").Value()), "Davolio");
    EXPECT_THROW(recordset.Fields().Item("Photo"), quellmark::data_access::Error);
}

TEST(JetProviderRealFiles, StatementsAreRefusedAndFileIsLeftUnchanged) {
    const std::vector<char> before = ReadBytes(Jet4File());
    quellmark::data_access::Connection connection;
    connection.ConnectionString = ConnectionStringFor(Jet4File());
    connection.Open();
    try {
        connection.Execute("DELETE FROM DateTest");
        ADD_FAILURE() << "Execute did not fail";
    } catch (const quellmark::data_access::Error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot run statements"), std::string::npos) << e.what();
        EXPECT_EQ(connection.Errors().Count(), 1);
    }
    {
        quellmark::data_access::Recordset recordset;
        recordset.Open("DateTest", connection, 3, 3, 2);
    }
    connection.Close();
    EXPECT_EQ(ReadBytes(Jet4File()), before);
}

TEST(JetProviderRealFiles, RecordsetOutlivesItsConnection) {
    auto connection = std::make_unique<quellmark::data_access::Connection>();
    connection->ConnectionString = ConnectionStringFor(Jet3File());
    connection->Open();
    quellmark::data_access::Recordset recordset;
    recordset.Open("Shippers", *connection, 3, 3, 2);
    connection.reset();
    EXPECT_EQ(quellmark::data_access::ToText(recordset.Fields().Item("CompanyName").Value()), "Speedy Express");
}

TEST(JetProviderBadFiles, FileThatIsNotThereOrNotAFile) {
    quellmark::test::ScratchDir dir("jet-bad");
    EXPECT_EQ(OpenFailure(dir / "Sarnwick.mdb"),
              "The settings file " + (dir / "Sarnwick.mdb").string() + " does not exist.");
    EXPECT_EQ(OpenFailure(dir.Path()),
              "The settings file " + dir.Path().string() + " is a directory, not an Access database file.");
    WriteBytes(dir / "empty.mdb", {});
    EXPECT_EQ(OpenFailure(dir / "empty.mdb"), "The settings file " + (dir / "empty.mdb").string() + " is empty.");

    quellmark::data_access::Connection connection;
    connection.ConnectionString = "Provider=Microsoft.Jet.OLEDB.4.0";
    EXPECT_THROW(connection.Open(), quellmark::data_access::Error);
    EXPECT_EQ(connection.Errors().Count(), 1);
}

TEST(JetProviderBadFiles, RandomBytesAreNoDatabase) {
    quellmark::test::ScratchDir dir("jet-bad");
    std::mt19937 random(20240611);
    std::vector<char> bytes(64 * 1024);
    for (char& b : bytes) b = static_cast<char>(random());
    WriteBytes(dir / "random.mdb", bytes);
    EXPECT_EQ(OpenFailure(dir / "random.mdb"),
              "The settings file " + (dir / "random.mdb").string() + " is not an Access database file.");
}

std::size_t OpenDescriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Every way the header checks turn a file away, after the file is open,
// closes it again.
TEST(JetProviderBadFiles, RefusedFilesLeaveNoDescriptorOpen) {
    quellmark::test::ScratchDir dir("jet-refused");
    const std::vector<char> bytes = ReadBytes(Jet4File());
    std::vector<char> newer = bytes;
    newer[0x14] = 9;
    const std::vector<std::vector<char>> refused = {
        {},                                         // empty
        std::vector<char>(4096, 'x'),               // no signature
        {bytes.begin(), bytes.begin() + 4096 + 1},  // not whole pages
        {bytes.begin(), bytes.begin() + 2 * 4096},  // too few pages
        newer,                                      // a version libmdb cannot read
    };
    const std::size_t before = OpenDescriptors();
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        WriteBytes(dir / "refused.mdb", refused[i]);
        EXPECT_EQ(OpenFailure(dir / "refused.mdb").find("The settings file "), 0u);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(JetProviderBadFiles, TruncatedCopies) {
    quellmark::test::ScratchDir dir("jet-cut");
    for (const fs::path& original : {Jet3File(), Jet4File()}) {
        const std::vector<char> bytes = ReadBytes(original);
        const std::size_t page = original == Jet3File() ? 2048 : 4096;
        for (std::size_t cut :
             {std::size_t{3}, std::size_t{100}, page + 1, 2 * page + 17, bytes.size() / 2 + 5, bytes.size() - 1}) {
            SCOPED_TRACE(original.filename().string() + " cut at " + std::to_string(cut));
            WriteBytes(dir / "cut.mdb", {bytes.begin(), bytes.begin() + static_cast<long>(cut)});
            const std::string message = OpenFailure(dir / "cut.mdb");
            EXPECT_EQ(message.find("The settings file " + (dir / "cut.mdb").string()), 0u) << message;
            EXPECT_TRUE(message.find("truncated") != std::string::npos ||
                        message.find("not an Access database file") != std::string::npos)
                << message;
        }
        // Cut at a page boundary the file still looks whole; reading its first
        // table either gives the row the whole file gives or fails cleanly.
        const std::string table = original == Jet3File() ? "Shippers" : "DateTest";
        const std::string expected = quellmark::data_access::ToText(ReadFirstRow(original, table)[1].Value());
        for (std::size_t pages : {2u, 3u, 4u, 8u, 16u, 24u, 40u, 64u}) {
            if (pages * page >= bytes.size()) continue;
            SCOPED_TRACE(original.filename().string() + " cut to " + std::to_string(pages) + " pages");
            WriteBytes(dir / "cut.mdb", {bytes.begin(), bytes.begin() + static_cast<long>(pages * page)});
            quellmark::data_access::Connection connection;
            connection.ConnectionString = ConnectionStringFor(dir / "cut.mdb");
            try {
                connection.Open();
                quellmark::data_access::Recordset recordset;
                recordset.Open(table, connection, quellmark::data_access::adOpenStatic,
                               quellmark::data_access::adLockOptimistic, quellmark::data_access::adCmdTable);
                if (!recordset.EndOfFile()) {
                    EXPECT_EQ(quellmark::data_access::ToText(recordset.Fields().Item(1).Value()), expected);
                }
            } catch (const quellmark::data_access::Error& e) {
                EXPECT_GE(connection.Errors().Count(), 1);
                EXPECT_EQ(std::string(e.what()).find("The settings file "), 0u) << e.what();
            }
        }
    }
}

// A copy of the Jet 4 file with bytes replaced, and the words the message
// must hold.
struct Damage {
    const char* what;
    std::size_t offset;
    std::vector<unsigned char> bytes;
    const char* expected;
};

TEST(JetProviderBadFiles, DamagedHeaderAndCatalog) {
    std::vector<Damage> damages = {
        {"signature", 4, {'X'}, "is not an Access database file"},
        {"first byte", 0, {0x01}, "is not an Access database file"},
        {"version", 0x14, {0x09}, "of a version Quellmark cannot read"},
        {"catalog page type",
         2 * 4096,
         {0x01},
         "is damaged (the definition page of its catalog is not a table definition)"},
        {"catalog column count", 2 * 4096 + 45, {0xff, 0x7f}, "is damaged (its catalog claims 32767 columns)"},
        {"catalog column count zero", 2 * 4096 + 45, {0x00, 0x00}, "is damaged (its catalog claims 0 columns)"},
        {"catalog index count", 2 * 4096 + 51, {0xff, 0xff, 0xff, 0x0f}, "is damaged (its catalog claims"},
        {"catalog page map",
         2 * 4096 + 55,
         {0x00, 0xff, 0xff, 0x7f},
         "the page map of its catalog points outside the file"},
    };
    quellmark::test::ScratchDir dir("jet-damaged");
    const std::vector<char> original = ReadBytes(Jet4File());
    // The column entries follow the entries of the catalog's real indexes.
    const auto realIndexes = static_cast<unsigned char>(original[2 * 4096 + 51]);
    damages.push_back({"catalog first column type",
                       2 * 4096 + 63 + 12 * std::size_t{realIndexes},
                       {0x7e},
                       "column 1 of its catalog has an unknown type"});
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::vector<char> bytes = original;
        for (std::size_t i = 0; i < damage.bytes.size(); ++i)
            bytes[damage.offset + i] = static_cast<char>(damage.bytes[i]);
        WriteBytes(dir / "damaged.mdb", bytes);
        const std::string message = OpenFailure(dir / "damaged.mdb", "DateTest");
        EXPECT_EQ(message.find("The settings file " + (dir / "damaged.mdb").string() + " "), 0u) << message;
        EXPECT_NE(message.find(damage.expected), std::string::npos) << message;
    }
}

TEST(JetProviderBadFiles, DamagedUserTableDefinition) {
    // The catalog still names DateTest, but its definition is damaged.
    quellmark::test::ScratchDir dir("jet-damaged");
    std::vector<char> bytes = ReadBytes(Jet4File());
    std::vector<std::string> tables = quellmark::data_access::provider::JetUserTables(
        quellmark::data_access::ConnectionProperties::Parse(ConnectionStringFor(Jet4File())));
    ASSERT_EQ(tables, std::vector<std::string>{"DateTest"});
    // Every table definition page after the catalog's own chain gets a huge
    // column count; the catalog (page 2) stays intact.
    for (std::size_t page = 3; page * 4096 < bytes.size(); ++page)
        if (bytes[page * 4096] == 0x02)
            bytes[page * 4096 + 45] = static_cast<char>(0xff), bytes[page * 4096 + 46] = 0x7f;
    WriteBytes(dir / "damaged.mdb", bytes);
    const std::string message = OpenFailure(dir / "damaged.mdb", "DateTest");
    EXPECT_NE(message.find("is damaged (table DateTest claims 32767 columns)"), std::string::npos) << message;
}

TEST(JetProviderWrittenFiles, NullAndEmptyTextStayApart) {
    quellmark::test::ScratchDir dir("jet-written");
    const fs::path file = dir / "Sarnwick.mdb";
    // No --server: stored as null. An empty --type: stored as empty text.
    quellmark::test::WriteSettingsFile(
        file, {"--type", "", "--timeout", "30", "--port", "1433", "--database", "Log \xc3\xa4"});
    const std::vector<quellmark::data_access::Field> fields = ReadFirstRow(file, "Settings_General");
    auto value = [&](const std::string& name) {
        for (const quellmark::data_access::Field& field : fields)
            if (quellmark::base::EqualsIgnoreCase(field.Name(), name)) return field.Value();
        ADD_FAILURE() << "no column " << name;
        return Value{};
    };
    EXPECT_EQ(value("OnlConnType"), Value{std::string()});
    EXPECT_TRUE(quellmark::data_access::IsNull(value("OnlDbServer")));
    EXPECT_EQ(value("OnlConnTimeout"), Value{std::int64_t{30}});
    EXPECT_EQ(value("OnlDbPort"), Value{std::int64_t{1433}});
    EXPECT_EQ(value("OnlDatabase"), Value{std::string("Log \xc3\xa4")});  // UTF-8 both ways

    quellmark::test::WriteSettingsFile(dir / "bare.mdb", {"--no-table"});
    EXPECT_EQ(OpenFailure(dir / "bare.mdb"),
              "The settings file " + (dir / "bare.mdb").string() + " has no table Settings_General.");
}

TEST(JetDateText, CalendarAroundTheEpochAndAtTheLimits) {
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(0.0), "1899-12-30 00:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(2.0), "1900-01-01 00:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(36526.0), "2000-01-01 00:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(36526.75), "2000-01-01 18:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(2958465.0), "9999-12-31 00:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(-1.25),
              "1899-12-29 06:00:00");  // the fraction counts forward
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(-657434.0), "0100-01-01 00:00:00");
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(1.0 - 0.1 / 86400.0),
              "1899-12-31 00:00:00");  // rounds into the next day
    EXPECT_EQ(quellmark::data_access::provider::JetDateText(1e300), "");
}

}  // namespace
