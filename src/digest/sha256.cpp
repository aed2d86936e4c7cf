// The buffering and padding around the compression function, and the choice
// of compression routine for this processor.
#include "digest/sha256.h"

#include <atomic>
#include <bit>
#include <concepts>
#include <cstring>

#include "digest/sha256_compress.h"

namespace driftmoor::digest {

// Unknown until the first compression asks, so loading the module never
// executes CPUID.
std::atomic<std::uint8_t> sha_ext_support{SHA_EXT_UNKNOWN};

namespace {

// First 32 bits of the fractional parts of the square roots of the first
// eight primes.
constexpr std::array<std::uint32_t, 8> INITIAL_WORDS = {
    0x6a09e667U, 0xbb67ae85U, 0x3c6ef372U, 0xa54ff53aU,
    0x510e527fU, 0x9b05688cU, 0x1f83d9abU, 0x5be0cd19U,
};

// The message length field occupies the last 8 bytes of the final block.
constexpr std::size_t LENGTH_FIELD_OFFSET = SHA256_BLOCK_SIZE - 8;

// Big-endian stores as one swap and one store each: written byte by byte,
// the eight words of a digest were vectorised into a long shuffle sequence
// that cost more than the final block's padding.
template <std::unsigned_integral Word>
void store_big_endian(std::uint8_t* out, Word value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        value = std::byteswap(value);
    }
    std::memcpy(out, &value, sizeof value);
}

}  // namespace

Sha256State sha256_init() noexcept {
    Sha256State state{};
    state.words = INITIAL_WORDS;
    state.block_count = 0;
    state.buffer = {};
    state.buffer_len = 0;
    return state;
}

void sha256_update(Sha256State& state, std::span<const std::uint8_t> data) noexcept {
    const std::size_t held = state.buffer_len;
    const std::uint8_t* next = data.data();
    std::size_t remaining = data.size();

    // Too little to complete the buffer: just keep it. An empty piece lands
    // here too, and must not reach memcpy, whose source may be null.
    if (remaining < SHA256_BLOCK_SIZE - held) {
        if (remaining != 0) {
            std::memcpy(state.buffer.data() + held, next, remaining);
        }
        state.buffer_len = static_cast<std::uint8_t>(held + remaining);
        return;
    }

    // Complete the partial block left by earlier pieces.
    if (held != 0) {
        const std::size_t fill = SHA256_BLOCK_SIZE - held;
        std::memcpy(state.buffer.data() + held, next, fill);
        state.block_count += 1;
        compress_blocks(state.words.data(), state.buffer.data(), 1);
        state.buffer_len = 0;
        next += fill;
        remaining -= fill;
    }

    // Whole blocks are compressed straight from the caller's memory, in a
    // single call so the fast routine keeps its state in registers.
    const std::size_t whole = remaining / SHA256_BLOCK_SIZE;
    if (whole != 0) {
        state.block_count += whole;
        compress_blocks(state.words.data(), next, whole);
        next += whole * SHA256_BLOCK_SIZE;
        remaining -= whole * SHA256_BLOCK_SIZE;
    }

    if (remaining != 0) {
        std::memcpy(state.buffer.data(), next, remaining);
    }
    state.buffer_len = static_cast<std::uint8_t>(remaining);
}

Sha256Digest sha256_finalize(Sha256State& state) noexcept {
    const std::size_t held = state.buffer_len;
    std::uint8_t* const block = state.buffer.data();

    block[held] = 0x80;
    std::memset(block + held + 1, 0, SHA256_BLOCK_SIZE - held - 1);
    // No room left for the length field: it goes into one more block.
    if (held >= LENGTH_FIELD_OFFSET) {
        compress_blocks(state.words.data(), block, 1);
        std::memset(block, 0, LENGTH_FIELD_OFFSET);
    }
    // Length in bits, modulo 2^64 like block_count itself.
    const std::uint64_t bit_length =
        (state.block_count << 9) | (static_cast<std::uint64_t>(held) << 3);
    store_big_endian(block + LENGTH_FIELD_OFFSET, bit_length);
    compress_blocks(state.words.data(), block, 1);

    Sha256Digest digest{};
    for (std::size_t i = 0; i < state.words.size(); ++i) {
        store_big_endian(digest.data() + 4 * i, state.words[i]);
    }
    return digest;
}

#if !defined(__x86_64__) && !defined(__i386__) && !defined(__aarch64__)
// No SHA instructions are known for this processor (x86 and aarch64 have
// theirs in sha256_x86_sha_ext.cpp and sha256_arm_sha2.cpp): detection
// answers false, so the routine is never selected; it exists so that the
// program links the same way on every processor.
bool detect_sha_ext() noexcept {
    sha_ext_support.store(0, std::memory_order_relaxed);
    return false;
}

void compress_blocks_sha_ext(std::uint32_t* words, const std::uint8_t* blocks,
                             std::size_t count) noexcept {
    compress_blocks_portable(words, blocks, count);
}
#endif

CompressBlocksFn select_compress_routine(std::uint8_t support) noexcept {
    switch (support) {
        case 0:
            return &compress_blocks_portable;
        case 1:
            return &compress_blocks_sha_ext;
        default:
            // Still unknown: ask the processor once; the answer is stored for
            // every later call.
            return detect_sha_ext() ? &compress_blocks_sha_ext : &compress_blocks_portable;
    }
}

void compress_blocks(std::uint32_t* words, const std::uint8_t* blocks, std::size_t count) noexcept {
    if (count == 0) {
        return;
    }
    const CompressBlocksFn routine =
        select_compress_routine(sha_ext_support.load(std::memory_order_relaxed));
    routine(words, blocks, count);
}

}  // namespace driftmoor::digest
