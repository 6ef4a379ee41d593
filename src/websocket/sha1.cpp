#include "websocket/sha1.h"

#include <cstddef>

namespace wsclient {
namespace {

std::uint32_t rotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

class Sha1 {
public:
    void update(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            block_[fill_++] = data[i];
            if (fill_ == block_.size()) {
                compress();
                fill_ = 0;
            }
        }
        length_ += size;
    }

    // The padding: a 1 bit, zeros up to 8 bytes short of a block, then the length in bits.
    Sha1Digest finish() {
        const std::uint64_t bits = length_ * 8;
        const std::uint8_t one = 0x80;
        update(&one, 1);
        const std::uint8_t zero = 0;
        while (fill_ != 56)
            update(&zero, 1);
        for (int shift = 56; shift >= 0; shift -= 8)
            block_[fill_++] = static_cast<std::uint8_t>(bits >> shift);
        compress();
        Sha1Digest digest{};
        for (std::size_t i = 0; i < 20; ++i)
            digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
        return digest;
    }

private:
    void compress() {
        std::uint32_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t{block_[4 * i]} << 24 | std::uint32_t{block_[4 * i + 1]} << 16 |
                   std::uint32_t{block_[4 * i + 2]} << 8 | std::uint32_t{block_[4 * i + 3]};
        for (int i = 16; i < 80; ++i)
            w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
        for (int i = 0; i < 80; ++i) {
            std::uint32_t f = 0, k = 0;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5a827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ed9eba1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8f1bbcdc;
            } else {
                f = b ^ c ^ d;
                k = 0xca62c1d6;
            }
            const std::uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotateLeft(b, 30);
            b = a;
            a = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
        state_[4] += e;
    }

    std::uint32_t state_[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    std::array<std::uint8_t, 64> block_{};
    std::size_t fill_ = 0;
    std::uint64_t length_ = 0; // bytes
};

} // namespace

Sha1Digest sha1(std::string_view data) {
    Sha1 hash;
    hash.update(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    return hash.finish();
}

} // namespace wsclient
