// Where a Jet 3 or Jet 4 file keeps what the file checks read and the Jet 4
// writer writes: the header page's fields, the page types, and the offsets
// of data pages and table-definition pages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::jet {

// Page 0, the header. Its bytes from kEncodedHeaderOffset are masked with
// the header key (cipher.h): 126 of them in Jet 3, 128 in Jet 4.
inline constexpr std::size_t kSignatureOffset = 4;
inline constexpr char kJetSignature[] = "Standard Jet DB";
inline constexpr char kAceSignature[] = "Standard ACE DB";
inline constexpr std::size_t kVersionOffset = 0x14;  // 0: Jet 3; 1: Jet 4; 2 to 5: Access 2007 to 2016
inline constexpr std::size_t kEncodedHeaderOffset = 0x18;
inline constexpr std::size_t kEncodedHeaderLengthJet3 = 126;
inline constexpr std::size_t kEncodedHeaderLengthJet4 = 128;
inline constexpr std::size_t kDatabaseKeyOffset = 0x3e;

// The first byte of every other page names its type; the fourth to eighth
// bytes of a data page, the table definition page that owns it.
inline constexpr unsigned char kPageData = 0x01;
inline constexpr unsigned char kPageTableDefinition = 0x02;
inline constexpr std::size_t kDataPageOwnerOffset = 4;

// Where the fields of data pages and table definitions sit in each format.
struct Layout {
    std::size_t pageSize;
    std::size_t rowCountOffset;  // data page: row count, then the row offsets
    std::size_t numColsOffset;   // table definition: column count (variable-column count just before)
    std::size_t numIndexesOffset;
    std::size_t numRealIndexesOffset;
    std::size_t usageMapOffset;
    std::size_t freeMapOffset;
    std::size_t columnsStartOffset;
    std::size_t realIndexEntrySize;
    std::size_t columnEntrySize;
};

inline constexpr Layout kJet3{2048, 8, 25, 27, 31, 35, 39, 43, 8, 18};
inline constexpr Layout kJet4{4096, 12, 45, 47, 51, 55, 59, 63, 12, 25};

}  // namespace quellmark::data_access::jet
