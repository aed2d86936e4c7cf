#include "digest/constant_time_equal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace driftmoor::digest {
namespace {

// The fold is acc |= a[i] ^ b[i] over every byte: acc ends at zero exactly
// when the inputs are equal. It is done in strides chosen by the length
// alone, so the instruction sequence is the same for any contents.

// Bytes [0, n - n % 32): two independent 16-byte lanes, so the two
// XOR-then-OR chains can run in parallel.
std::uint8_t fold_32_at_a_time(const char* a, const char* b, std::size_t n) noexcept {
#if defined(__SSE2__)
    __m128i lane0 = _mm_setzero_si128();
    __m128i lane1 = _mm_setzero_si128();
    for (std::size_t i = 0; i + 32 <= n; i += 32) {
        const auto* pa = reinterpret_cast<const __m128i*>(a + i);
        const auto* pb = reinterpret_cast<const __m128i*>(b + i);
        lane0 = _mm_or_si128(lane0, _mm_xor_si128(_mm_loadu_si128(pa), _mm_loadu_si128(pb)));
        lane1 =
            _mm_or_si128(lane1, _mm_xor_si128(_mm_loadu_si128(pa + 1), _mm_loadu_si128(pb + 1)));
    }
    alignas(16) std::uint64_t halves[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(halves), _mm_or_si128(lane0, lane1));
    std::uint64_t acc = halves[0] | halves[1];
#else
    std::uint64_t lane0[2] = {0, 0};
    std::uint64_t lane1[2] = {0, 0};
    for (std::size_t i = 0; i + 32 <= n; i += 32) {
        std::uint64_t wa[4], wb[4];
        std::memcpy(wa, a + i, 32);
        std::memcpy(wb, b + i, 32);
        lane0[0] |= wa[0] ^ wb[0];
        lane0[1] |= wa[1] ^ wb[1];
        lane1[0] |= wa[2] ^ wb[2];
        lane1[1] |= wa[3] ^ wb[3];
    }
    std::uint64_t acc = lane0[0] | lane0[1] | lane1[0] | lane1[1];
#endif
    acc |= acc >> 32;
    acc |= acc >> 16;
    acc |= acc >> 8;
    return static_cast<std::uint8_t>(acc);
}

// Bytes [start, n - n % 4), four at a time.
std::uint8_t fold_4_at_a_time(const char* a, const char* b, std::size_t start,
                              std::size_t n) noexcept {
    std::uint32_t acc = 0;
    for (std::size_t i = start; i + 4 <= n; i += 4) {
        std::uint32_t wa, wb;
        std::memcpy(&wa, a + i, 4);
        std::memcpy(&wb, b + i, 4);
        acc |= wa ^ wb;
    }
    acc |= acc >> 16;
    acc |= acc >> 8;
    return static_cast<std::uint8_t>(acc);
}

}  // namespace

bool constant_time_equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    const std::size_t n = a.size();
    const char* pa = a.data();
    const char* pb = b.data();

    std::uint8_t acc = 0;
    std::size_t done = 0;
    if (n >= 32) {
        done = n - n % 32;
        acc |= fold_32_at_a_time(pa, pb, done);
    }
    if (n - done >= 4) {
        acc |= fold_4_at_a_time(pa, pb, done, n);
        done = n - n % 4;
    }
    for (std::size_t i = done; i < n; ++i) {
        acc |= static_cast<std::uint8_t>(pa[i] ^ pb[i]);
    }
    return acc == 0;
}

}  // namespace driftmoor::digest
