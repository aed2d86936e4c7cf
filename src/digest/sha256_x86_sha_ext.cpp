// The compression function on the x86 SHA extensions, and the processor
// check that decides whether it may run. Both live here so the instructions
// the routine uses and the CPUID bits that vouch for them are side by side.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "digest/sha256_compress.h"
#include "digest/sha256_round_constants.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace driftmoor::digest {

bool sha_ext_usable(CpuFeatures features) noexcept {
    return features.sse2 && features.ssse3 && features.sse41 && features.sha;
}

#if defined(__x86_64__) || defined(__i386__)

namespace {

// CPUID bit positions of the features the routine relies on.
constexpr unsigned LEAF1_EDX_SSE2 = 1U << 26;
constexpr unsigned LEAF1_ECX_SSSE3 = 1U << 9;
constexpr unsigned LEAF1_ECX_SSE41 = 1U << 19;
constexpr unsigned LEAF7_EBX_SHA = 1U << 29;

CpuFeatures query_cpu_features() noexcept {
    CpuFeatures features{false, false, false, false};
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;

    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    const unsigned max_basic_leaf = eax;

    if (max_basic_leaf >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        features.sse2 = (edx & LEAF1_EDX_SSE2) != 0;
        features.ssse3 = (ecx & LEAF1_ECX_SSSE3) != 0;
        features.sse41 = (ecx & LEAF1_ECX_SSE41) != 0;
    }
    // A leaf above the maximum answers with the highest leaf's data, so bit
    // 29 of EBX would be noise there: without leaf 7 there is no SHA.
    if (max_basic_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        features.sha = (ebx & LEAF7_EBX_SHA) != 0;
    }
    return features;
}

#define DRIFTMOOR_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds: group G covers rounds 4G..4G+3 and message words 4G..4G+3,
// held in msg[G % 4]. Alongside the rounds it advances the schedule: it
// finishes words 4G+4..4G+7 (sha256msg2 needs the group just used) and
// starts words 4G+12..4G+15 (sha256msg1 on the two oldest groups).
template <unsigned G>
DRIFTMOOR_SHA_TARGET __attribute__((always_inline)) inline void four_rounds(
    __m128i& abef, __m128i& cdgh, __m128i (&msg)[4], const std::uint8_t* block,
    __m128i byte_swap) noexcept {
    constexpr unsigned cur = G % 4;
    constexpr unsigned prev = (G + 3) % 4;
    constexpr unsigned next = (G + 1) % 4;

    if constexpr (G < 4) {
        // Message bytes are big-endian words; pshufb reverses each word.
        msg[cur] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byte_swap);
    }
    __m128i schedule = _mm_add_epi32(
        msg[cur], _mm_load_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS.data() + 4 * G)));
    // sha256rnds2 does two rounds using the low two lanes.
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, schedule);
    if constexpr (G >= 3 && G <= 14) {
        // W[t-7] for the next group's words straddles this group and the
        // one before it.
        const __m128i w_minus_7 = _mm_alignr_epi8(msg[cur], msg[prev], 4);
        msg[next] = _mm_add_epi32(msg[next], w_minus_7);
        msg[next] = _mm_sha256msg2_epu32(msg[next], msg[cur]);
    }
    schedule = _mm_shuffle_epi32(schedule, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, schedule);
    if constexpr (G >= 1 && G <= 12) {
        msg[prev] = _mm_sha256msg1_epu32(msg[prev], msg[cur]);
    }
}

template <unsigned... G>
DRIFTMOOR_SHA_TARGET __attribute__((always_inline)) inline void all_rounds(
    __m128i& abef, __m128i& cdgh, const std::uint8_t* block, __m128i byte_swap,
    std::integer_sequence<unsigned, G...> /*groups*/) noexcept {
    __m128i msg[4];
    (four_rounds<G>(abef, cdgh, msg, block, byte_swap), ...);
}

}  // namespace

bool detect_sha_ext() noexcept {
    const bool usable = sha_ext_usable(query_cpu_features());
    sha_ext_support.store(usable ? 1 : 0, std::memory_order_relaxed);
    return usable;
}

DRIFTMOOR_SHA_TARGET void compress_blocks_sha_ext(std::uint32_t* words, const std::uint8_t* blocks,
                                                  std::size_t count) noexcept {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // The instructions want the state as two registers holding A,B,E,F and
    // C,D,G,H (highest lane first). Rearranged once here, not per block.
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (std::size_t n = 0; n < count; ++n, blocks += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        all_rounds(abef, cdgh, blocks, byte_swap, std::make_integer_sequence<unsigned, 16>{});
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    // Back to A..H in ascending memory order.
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef DRIFTMOOR_SHA_TARGET

#endif  // x86

}  // namespace driftmoor::digest
