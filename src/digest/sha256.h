// Incremental SHA-256 (FIPS 180-4) over input that arrives in pieces of any
// size. Pure computation: no I/O, no allocation, no Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace driftmoor::digest {

inline constexpr std::size_t SHA256_BLOCK_SIZE = 64;
inline constexpr std::size_t SHA256_DIGEST_SIZE = 32;

using Sha256Digest = std::array<std::uint8_t, SHA256_DIGEST_SIZE>;

// One digest in progress: a plain value owned by its caller, never shared.
struct Sha256State {
    // The running hash value H0..H7.
    std::array<std::uint32_t, 8> words;
    // Whole blocks compressed by sha256_update so far (wraps modulo 2^64);
    // the blocks of sha256_finalize are not counted.
    std::uint64_t block_count;
    // The tail of the input that does not yet make a whole block.
    std::array<std::uint8_t, SHA256_BLOCK_SIZE> buffer;
    // Valid bytes at the start of buffer; 0..63 between calls, because a
    // block that becomes full is compressed at once.
    std::uint8_t buffer_len;
};

Sha256State sha256_init() noexcept;

// Absorbs data; any length, 0 included. Whole blocks are compressed where they
// lie, so only the partial block at each end of a piece is copied.
void sha256_update(Sha256State& state, std::span<const std::uint8_t> data) noexcept;

// Pads, compresses the final block(s) and returns the digest. Uses the state
// up: the caller neither updates nor finalises it again.
Sha256Digest sha256_finalize(Sha256State& state) noexcept;

// Applies the compression function to `count` consecutive 64-byte blocks, in
// order, choosing the fastest routine this processor supports.
void compress_blocks(std::uint32_t* words, const std::uint8_t* blocks, std::size_t count) noexcept;

}  // namespace driftmoor::digest
