// The stream cipher of the Jet file format, shared by the reader's file
// checks and the settings writer: Jet masks 128 bytes of the header page with
// RC4 under a fixed key and, in an encoded database, every page with RC4
// under the database key XOR the page number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::jet {

// The fixed key of the header mask (bytes C7 DA 39 6B).
inline constexpr std::uint32_t kHeaderKey = 0x6b39dac7;

// XORs the RC4 keystream of the 4-byte little-endian key over the data;
// applying it twice restores the data.
void Rc4(std::uint32_t key, unsigned char* data, std::size_t length) noexcept;

}  // namespace quellmark::data_access::jet
