// The compression function in plain 32-bit arithmetic, for processors
// without SHA instructions. All 64 rounds are written out so the working
// variables never move: each round just renames them.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "digest/sha256_compress.h"

namespace driftmoor::digest {

namespace {

// First 32 bits of the fractional parts of the cube roots of the first 64
// primes.
constexpr std::array<std::uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98U, 0x71374491U, 0xb5c0fbcfU, 0xe9b5dba5U, 0x3956c25bU, 0x59f111f1U, 0x923f82a4U,
    0xab1c5ed5U, 0xd807aa98U, 0x12835b01U, 0x243185beU, 0x550c7dc3U, 0x72be5d74U, 0x80deb1feU,
    0x9bdc06a7U, 0xc19bf174U, 0xe49b69c1U, 0xefbe4786U, 0x0fc19dc6U, 0x240ca1ccU, 0x2de92c6fU,
    0x4a7484aaU, 0x5cb0a9dcU, 0x76f988daU, 0x983e5152U, 0xa831c66dU, 0xb00327c8U, 0xbf597fc7U,
    0xc6e00bf3U, 0xd5a79147U, 0x06ca6351U, 0x14292967U, 0x27b70a85U, 0x2e1b2138U, 0x4d2c6dfcU,
    0x53380d13U, 0x650a7354U, 0x766a0abbU, 0x81c2c92eU, 0x92722c85U, 0xa2bfe8a1U, 0xa81a664bU,
    0xc24b8b70U, 0xc76c51a3U, 0xd192e819U, 0xd6990624U, 0xf40e3585U, 0x106aa070U, 0x19a4c116U,
    0x1e376c08U, 0x2748774cU, 0x34b0bcb5U, 0x391c0cb3U, 0x4ed8aa4aU, 0x5b9cca4fU, 0x682e6ff3U,
    0x748f82eeU, 0x78a5636fU, 0x84c87814U, 0x8cc70208U, 0x90befffaU, 0xa4506cebU, 0xbef9a3f7U,
    0xc67178f2U,
};

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

inline std::uint32_t big_sigma0(std::uint32_t x) noexcept {
    return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}

inline std::uint32_t big_sigma1(std::uint32_t x) noexcept {
    return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}

inline std::uint32_t small_sigma0(std::uint32_t x) noexcept {
    return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}

inline std::uint32_t small_sigma1(std::uint32_t x) noexcept {
    return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// Choose: bits of f where e is 1, bits of g where e is 0.
inline std::uint32_t choose(std::uint32_t e, std::uint32_t f, std::uint32_t g) noexcept {
    return g ^ (e & (f ^ g));
}

// Majority of three bits.
inline std::uint32_t majority(std::uint32_t a, std::uint32_t b, std::uint32_t c) noexcept {
    return (a & b) | (c & (a | b));
}

// Message word i (0..15) read from the block; it also seeds the 16-word ring
// the later words are computed in.
inline std::uint32_t load_word(std::uint32_t* w, const std::uint8_t* block,
                               std::size_t i) noexcept {
    w[i] = load_be32(block + 4 * i);
    return w[i];
}

// Message word i (16..63), written over word i-16, the oldest one the ring
// holds and the last one that needed it.
inline std::uint32_t expand_word(std::uint32_t* w, std::size_t i) noexcept {
    w[i & 15] += small_sigma1(w[(i - 2) & 15]) + w[(i - 7) & 15] + small_sigma0(w[(i - 15) & 15]);
    return w[i & 15];
}

// One round. Instead of shifting all eight variables, the caller rotates the
// argument order, so only d and h receive new values.
[[gnu::always_inline]] inline void round_step(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                              std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                                              std::uint32_t g, std::uint32_t& h,
                                              std::uint32_t constant_plus_word) noexcept {
    // h + K + W is known rounds ahead (h is the e of three rounds back), so
    // it is summed first, off the chain that runs through e.
    const std::uint32_t t1 = (h + constant_plus_word) + (big_sigma1(e) + choose(e, f, g));
    const std::uint32_t t2 = big_sigma0(a) + majority(a, b, c);
    d += t1;
    h = t1 + t2;
}

// Eight rounds starting at round `base`, each with the variables rotated one
// place further, so that after eight the names line up again. WORD(i) yields
// message word i.
#define DRIFTMOOR_SHA256_EIGHT_ROUNDS(base, WORD)                                       \
    round_step(a, b, c, d, e, f, g, h, ROUND_CONSTANTS[(base) + 0] + WORD((base) + 0)); \
    round_step(h, a, b, c, d, e, f, g, ROUND_CONSTANTS[(base) + 1] + WORD((base) + 1)); \
    round_step(g, h, a, b, c, d, e, f, ROUND_CONSTANTS[(base) + 2] + WORD((base) + 2)); \
    round_step(f, g, h, a, b, c, d, e, ROUND_CONSTANTS[(base) + 3] + WORD((base) + 3)); \
    round_step(e, f, g, h, a, b, c, d, ROUND_CONSTANTS[(base) + 4] + WORD((base) + 4)); \
    round_step(d, e, f, g, h, a, b, c, ROUND_CONSTANTS[(base) + 5] + WORD((base) + 5)); \
    round_step(c, d, e, f, g, h, a, b, ROUND_CONSTANTS[(base) + 6] + WORD((base) + 6)); \
    round_step(b, c, d, e, f, g, h, a, ROUND_CONSTANTS[(base) + 7] + WORD((base) + 7))

}  // namespace

void compress_blocks_portable(std::uint32_t* words, const std::uint8_t* blocks,
                              std::size_t count) noexcept {
    std::uint32_t a = words[0];
    std::uint32_t b = words[1];
    std::uint32_t c = words[2];
    std::uint32_t d = words[3];
    std::uint32_t e = words[4];
    std::uint32_t f = words[5];
    std::uint32_t g = words[6];
    std::uint32_t h = words[7];

    for (std::size_t n = 0; n < count; ++n, blocks += 64) {
        std::uint32_t w[16];

#define DRIFTMOOR_LOADED(i) load_word(w, blocks, (i))
#define DRIFTMOOR_EXPANDED(i) expand_word(w, (i))
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(0, DRIFTMOOR_LOADED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(8, DRIFTMOOR_LOADED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(16, DRIFTMOOR_EXPANDED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(24, DRIFTMOOR_EXPANDED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(32, DRIFTMOOR_EXPANDED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(40, DRIFTMOOR_EXPANDED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(48, DRIFTMOOR_EXPANDED);
        DRIFTMOOR_SHA256_EIGHT_ROUNDS(56, DRIFTMOOR_EXPANDED);
#undef DRIFTMOOR_LOADED
#undef DRIFTMOOR_EXPANDED

        a += words[0];
        b += words[1];
        c += words[2];
        d += words[3];
        e += words[4];
        f += words[5];
        g += words[6];
        h += words[7];
        words[0] = a;
        words[1] = b;
        words[2] = c;
        words[3] = d;
        words[4] = e;
        words[5] = f;
        words[6] = g;
        words[7] = h;
    }
}

#undef DRIFTMOOR_SHA256_EIGHT_ROUNDS

}  // namespace driftmoor::digest
