#include "data_access/jet/file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "data_access/jet/cipher.h"
#include "data_access/jet/page_layout.h"
#include "data_access/value_types.h"

namespace quellmark::data_access::jet {
namespace {

const Layout& LayoutOf(bool jet3) { return jet3 ? kJet3 : kJet4; }

constexpr std::uint32_t kOffsetMask = 0x1fff;

// A page count below this cannot hold the header, the catalog's definition
// and its first data page.
constexpr std::uint32_t kMinimumPages = 4;
// Limits well above what Access writes (255 columns, 32 indexes, 64-character
// names) and below what would let a damaged count run libmdb far off course.
constexpr unsigned kMaxColumns = 256;
constexpr std::uint32_t kMaxIndexes = 256;
constexpr std::size_t kMaxNameBytes = 512;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{2} << 30;  // Jet 4's limit; Jet 3's is 1 GB
constexpr std::size_t kMaxDefinitionPages = 64;

unsigned Get16(const unsigned char* p) { return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8); }
std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::string JetFile::SameFilePath() const {
    const std::string same = "/proc/self/fd/" + std::to_string(fd_.Get());
    return ::access(same.c_str(), R_OK) == 0 ? same : path_;  // no /proc: the name as given
}

JetFile::JetFile(std::string path) : path_(std::move(path)) {
    const std::string file = "The settings file " + path_;
    // Opened once, without waiting on a FIFO or a device, and everything
    // checked on what was opened: the name may point elsewhere a moment later.
    fd_.Reset(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) {
        if (errno == ENOENT || errno == ENOTDIR) throw Error(file + " does not exist.");
        throw Error(file + " cannot be read: " + std::strerror(errno) + ".");
    }
    struct stat info {};
    if (::fstat(fd_.Get(), &info) != 0) throw Error(file + " cannot be read: " + std::strerror(errno) + ".");
    if (S_ISDIR(info.st_mode)) throw Error(file + " is a directory, not an Access database file.");
    if (!S_ISREG(info.st_mode)) throw Error(file + " is not a regular file, so it is not an Access database file.");
    if (info.st_size == 0) throw Error(file + " is empty.");
    if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes)
        throw Error(file + " is larger than an Access database can be (2 GB).");

    std::array<unsigned char, kEncodedHeaderOffset + kEncodedHeaderLengthJet4> header{};
    const ssize_t got = ::pread(fd_.Get(), header.data(), header.size(), 0);
    if (got < 0) throw Error(file + " cannot be read: " + std::strerror(errno) + ".");
    if (static_cast<std::size_t>(got) < header.size() || header[0] != 0 ||
        (std::memcmp(header.data() + kSignatureOffset, kJetSignature, sizeof kJetSignature) != 0 &&
         std::memcmp(header.data() + kSignatureOffset, kAceSignature, sizeof kAceSignature) != 0))
        throw Error(file + " is not an Access database file.");

    // 0: Jet 3; 1: Jet 4; 2 to 5: the Access 2007 to 2016 formats, laid out as Jet 4.
    version_ = header[kVersionOffset];
    if (version_ > 5) {
        char number[8];
        std::snprintf(number, sizeof number, "0x%02x", version_);
        throw Error(file + " is an Access database of a version Quellmark cannot read (format " + number + ").");
    }
    const Layout& layout = LayoutOf(IsJet3());
    pageSize_ = layout.pageSize;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size % pageSize_ != 0)
        throw Error(file + " is truncated or damaged: its size (" + std::to_string(size) +
                    " bytes) is not a whole number of " + std::to_string(pageSize_) + "-byte pages.");
    if (size / pageSize_ < kMinimumPages)
        throw Error(file + " is truncated or damaged: it holds only " + std::to_string(size / pageSize_) +
                    " pages, too few for an Access database.");
    if (size / pageSize_ > 0xffffffu) throw Error(file + " is too large to be an Access database file.");
    pageCount_ = static_cast<std::uint32_t>(size / pageSize_);

    Rc4(kHeaderKey, header.data() + kEncodedHeaderOffset,
        IsJet3() ? kEncodedHeaderLengthJet3 : kEncodedHeaderLengthJet4);
    dbKey_ = Get32(header.data() + kDatabaseKeyOffset);
}

void JetFile::Damaged(const std::string& detail) const {
    throw Error("The settings file " + path_ + " is damaged (" + detail + ").");
}

std::vector<unsigned char> JetFile::ReadPage(std::uint32_t page) const {
    if (page >= pageCount_) Damaged("page " + std::to_string(page) + " lies beyond the end of the file");
    std::vector<unsigned char> buffer(pageSize_);
    std::size_t done = 0;
    while (done < pageSize_) {
        const ssize_t got = ::pread(fd_.Get(), buffer.data() + done, pageSize_ - done,
                                    static_cast<off_t>(static_cast<std::uint64_t>(page) * pageSize_ + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw Error("The settings file " + path_ + " cannot be read: " + std::strerror(errno) + ".");
        if (got == 0) Damaged("page " + std::to_string(page) + " is cut short");
        done += static_cast<std::size_t>(got);
    }
    if (page != 0 && dbKey_ != 0) Rc4(dbKey_ ^ page, buffer.data(), buffer.size());
    return buffer;
}

void JetFile::CheckRowTable(const std::vector<unsigned char>& page, std::uint32_t number,
                            const std::string& what) const {
    const Layout& layout = LayoutOf(IsJet3());
    const unsigned rows = Get16(page.data() + layout.rowCountOffset);
    const std::size_t tableEnd = layout.rowCountOffset + 2 + 2 * static_cast<std::size_t>(rows);
    if (tableEnd > pageSize_)
        Damaged("data page " + std::to_string(number) + " of " + what + " claims " + std::to_string(rows) + " rows");
    std::size_t end = pageSize_;
    for (unsigned row = 0; row < rows; ++row) {
        const std::size_t start = Get16(page.data() + layout.rowCountOffset + 2 + 2 * row) & kOffsetMask;
        if (start < tableEnd || start > end)
            Damaged("row " + std::to_string(row) + " on data page " + std::to_string(number) + " of " + what +
                    " lies outside the page");
        end = start;
    }
}

void JetFile::CheckRowReference(std::uint32_t pageRow, const std::string& what, const char* mapName) const {
    const std::uint32_t number = pageRow >> 8;
    const unsigned row = pageRow & 0xff;
    const std::string where = std::string("the ") + mapName + " of " + what;
    if (number == 0 || number >= pageCount_) Damaged(where + " points outside the file");
    const std::vector<unsigned char> page = ReadPage(number);
    const Layout& layout = LayoutOf(IsJet3());
    const unsigned rows = Get16(page.data() + layout.rowCountOffset);
    if (row >= rows) Damaged(where + " points at a missing row");
    CheckRowTable(page, number, what);
    const std::size_t start = Get16(page.data() + layout.rowCountOffset + 2 + 2 * row) & kOffsetMask;
    const std::size_t end = row == 0 ? pageSize_ : (Get16(page.data() + layout.rowCountOffset + 2 * row) & kOffsetMask);
    if (end - start < 5) Damaged(where + " is too short");
    const unsigned char type = page[start];
    if (type > 1) Damaged(where + " is of an unknown kind");
    if (type == 1) {
        // A map kept on separate pages: each 32-bit entry names one of them.
        for (std::size_t at = start + 1; at + 4 <= end; at += 4) {
            const std::uint32_t mapPage = Get32(page.data() + at);
            if (mapPage >= pageCount_) Damaged(where + " names a page outside the file");
        }
    }
}

void JetFile::CheckTable(std::uint32_t definitionPage, const std::string& what) const {
    const Layout& layout = LayoutOf(IsJet3());
    if (definitionPage == 0 || definitionPage >= pageCount_)
        Damaged("the definition of " + what + " points outside the file");

    std::vector<unsigned char> first = ReadPage(definitionPage);
    if (first[0] != kPageTableDefinition) Damaged("the definition page of " + what + " is not a table definition");

    // The definition as libmdb reads it: the first page whole, continued from
    // byte 8 of each page the 32-bit link at byte 4 names.
    std::vector<unsigned char> definition = first;
    std::set<std::uint32_t> chain{definitionPage};
    std::uint32_t link = Get32(first.data() + 4);
    auto need = [&](std::size_t bytes) {
        while (definition.size() < bytes) {
            if (link == 0 || link >= pageCount_ || chain.count(link) != 0 || chain.size() >= kMaxDefinitionPages)
                Damaged("the definition of " + what + " is cut short");
            const std::vector<unsigned char> next = ReadPage(link);
            if (next[0] != kPageTableDefinition)
                Damaged("the definition of " + what + " continues on a page that is not a table definition");
            chain.insert(link);
            definition.insert(definition.end(), next.begin() + 8, next.end());
            link = Get32(next.data() + 4);
        }
    };

    const unsigned varColumns = Get16(definition.data() + layout.numColsOffset - 2);
    const unsigned columns = Get16(definition.data() + layout.numColsOffset);
    const std::uint32_t indexes = Get32(definition.data() + layout.numIndexesOffset);
    const std::uint32_t realIndexes = Get32(definition.data() + layout.numRealIndexesOffset);
    if (columns == 0 || columns > kMaxColumns) Damaged(what + " claims " + std::to_string(columns) + " columns");
    if (varColumns > columns) Damaged(what + " claims more variable-length columns than columns");
    if (indexes > kMaxIndexes || realIndexes > kMaxIndexes)
        Damaged(what + " claims " + std::to_string(std::max(indexes, realIndexes)) + " indexes");

    std::size_t at = layout.columnsStartOffset + realIndexes * layout.realIndexEntrySize;
    need(at + columns * layout.columnEntrySize);
    for (unsigned i = 0; i < columns; ++i, at += layout.columnEntrySize) {
        const unsigned char type = definition[at];
        const bool known = (type >= 0x01 && type <= 0x0c) || type == 0x0f || type == 0x10 || type == 0x12;
        if (!known) Damaged("column " + std::to_string(i + 1) + " of " + what + " has an unknown type");
    }
    for (unsigned i = 0; i < columns; ++i) {
        std::size_t nameBytes = 0;
        if (IsJet3()) {
            need(at + 1);
            nameBytes = definition[at];
            at += 1;
        } else {
            need(at + 2);
            nameBytes = Get16(definition.data() + at);
            at += 2;
        }
        if (nameBytes > kMaxNameBytes)
            Damaged("the name of column " + std::to_string(i + 1) + " of " + what + " is too long");
        at += nameBytes;
        need(at);
    }

    CheckRowReference(Get32(first.data() + layout.usageMapOffset), what, "page map");
    CheckRowReference(Get32(first.data() + layout.freeMapOffset), what, "free-space map");

    // Every data page the table owns, whichever way libmdb reaches it.
    for (std::uint32_t number = 1; number < pageCount_; ++number) {
        const std::vector<unsigned char> page = ReadPage(number);
        if (page[0] == kPageData && Get32(page.data() + kDataPageOwnerOffset) == definitionPage)
            CheckRowTable(page, number, what);
    }
}

}  // namespace quellmark::data_access::jet
