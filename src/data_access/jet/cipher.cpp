#include "data_access/jet/cipher.h"

#include <array>
#include <utility>

namespace quellmark::data_access::jet {

void Rc4(std::uint32_t keyValue, unsigned char* data, std::size_t length) noexcept {
    const std::array<unsigned char, 4> key{
        static_cast<unsigned char>(keyValue), static_cast<unsigned char>(keyValue >> 8),
        static_cast<unsigned char>(keyValue >> 16), static_cast<unsigned char>(keyValue >> 24)};
    std::array<unsigned char, 256> state{};
    for (unsigned i = 0; i < 256; ++i) state[i] = static_cast<unsigned char>(i);
    unsigned j = 0;
    for (unsigned i = 0; i < 256; ++i) {
        j = (j + state[i] + key[i % key.size()]) & 0xff;
        std::swap(state[i], state[j]);
    }
    unsigned x = 0;
    unsigned y = 0;
    for (std::size_t n = 0; n < length; ++n) {
        x = (x + 1) & 0xff;
        y = (y + state[x]) & 0xff;
        std::swap(state[x], state[y]);
        data[n] ^= state[(state[x] + state[y]) & 0xff];
    }
}

}  // namespace quellmark::data_access::jet
