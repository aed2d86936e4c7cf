// The compression function in plain 32-bit arithmetic, for processors
// without SHA instructions. All 64 rounds are written out so the working
// variables never move: each round just renames them.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "digest/sha256_compress.h"
#include "digest/sha256_round_constants.h"

namespace driftmoor::digest {

namespace {

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
