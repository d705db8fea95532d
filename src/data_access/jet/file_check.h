// Structural checks on an Access (Jet 3 / Jet 4) database file, made before
// libmdb reads the parts concerned. libmdb trusts the page numbers, counts and
// offsets it finds in the file; a damaged file could make it read out of
// bounds or allocate without limit. Every check here throws quellmark::data_access::Error
// with a description naming the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::jet {

// An open, read-only view of the file's pages, decrypting encoded pages the
// way libmdb does.
class JetFile {
public:
    // Opens the file once and checks its header: a regular, readable,
    // non-empty file of at most 2 GB, the Jet signature, a version libmdb reads, a size that is a whole
    // number of pages and at least the pages the catalog needs.
    explicit JetFile(std::string path);
    JetFile(const JetFile&) = delete;
    JetFile& operator=(const JetFile&) = delete;

    const std::string& Path() const noexcept { return path_; }
    // The open file, for reading it again under a name that cannot be
    // pointed elsewhere: "/proc/self/fd/N".
    std::string SameFilePath() const;
    bool IsJet3() const noexcept { return version_ == 0; }
    std::size_t PageSize() const noexcept { return pageSize_; }
    std::uint32_t PageCount() const noexcept { return pageCount_; }

    // Checks what libmdb reads of a table: its definition page chain (column
    // and index counts, column entries and names), its usage and free-space
    // maps, and the row offset tables of every data page the table owns.
    // `what` names the table in a message.
    void CheckTable(std::uint32_t definitionPage, const std::string& what) const;

    // "The settings file <path> is damaged (<detail>)."
    [[noreturn]] void Damaged(const std::string& detail) const;

private:
    std::vector<unsigned char> ReadPage(std::uint32_t page) const;
    void CheckRowReference(std::uint32_t pageRow, const std::string& what, const char* mapName) const;
    void CheckRowTable(const std::vector<unsigned char>& page, std::uint32_t number, const std::string& what) const;

    std::string path_;
    quellmark::base::UniqueFd fd_;
    unsigned version_ = 0;
    std::size_t pageSize_ = 0;
    std::uint32_t pageCount_ = 0;
    std::uint32_t dbKey_ = 0;
};

}  // namespace quellmark::data_access::jet
