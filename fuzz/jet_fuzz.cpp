// Feeds arbitrary bytes (padded to whole pages) to the Access-file provider as a settings file: opens
// the file, then the table Settings_General and the first user table, and
// reads every field of the first row. Any outcome but success or a
// quellmark::data_access::Error recorded in the connection's Errors is a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data_access/connection_string.h"
#include "data_access/data_access.h"
#include "data_access/jet/connection_string.h"
#include "data_access/jet/provider.h"

namespace {

const std::string& InputPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/quellmark-jet-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0) std::abort();
        ::close(fd);
        std::string made(name.data());
        // Left behind only if the process dies; removed at a normal exit.
        static const std::string removeAtExit = made;
        std::atexit([] { ::unlink(removeAtExit.c_str()); });
        return made;
    }();
    return path;
}

// The input padded with zeros to whole 4096-byte pages (whole pages for
// Jet 3's 2048 too): a file of any other size is turned away at once, so
// unpadded mutations would rarely reach the pages behind the header.
void WriteInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> zeros(4096, 0);
    const std::size_t padding = (4096 - size % 4096) % 4096;
    const int fd = ::open(InputPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    if (padding != 0 && ::write(fd, zeros.data(), padding) != static_cast<ssize_t>(padding)) std::abort();
    ::close(fd);
}

void ReadTable(const std::string& connectionString, const std::string& table) {
    quellmark::data_access::Connection connection;
    connection.ConnectionString = connectionString;
    try {
        connection.Open();
        quellmark::data_access::Recordset recordset;
        recordset.Open(table, connection, quellmark::data_access::adOpenStatic,
                       quellmark::data_access::adLockOptimistic, quellmark::data_access::adCmdTable);
        if (recordset.EndOfFile()) return;
        const quellmark::data_access::Fields fields = recordset.Fields();
        for (int i = 0; i < fields.Count(); ++i) {
            try {
                (void)quellmark::data_access::ToText(fields.Item(i).Value());
            } catch (const quellmark::data_access::Error&) {
                // A column the provider does not convert (binary data).
            }
        }
    } catch (const quellmark::data_access::Error& e) {
        if (connection.Errors().Count() == 0 || std::string(e.what()).empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteInput(data, size);
    const std::string connectionString = quellmark::data_access::jet::JetConnectionString(InputPath());
    ReadTable(connectionString, "Settings_General");
    try {
        const std::vector<std::string> tables = quellmark::data_access::provider::JetUserTables(
            quellmark::data_access::ConnectionProperties::Parse(connectionString));
        if (!tables.empty()) ReadTable(connectionString, tables.front());
    } catch (const quellmark::data_access::Error&) {
    }
    return 0;
}
