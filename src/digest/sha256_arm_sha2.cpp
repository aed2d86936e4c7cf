// The compression function on ARMv8's SHA2 extension (SHA256H, SHA256H2,
// SHA256SU0, SHA256SU1), and the check of the kernel's hardware capabilities
// that decides whether it may run. Both live here so the instructions the
// routine uses and the bits that vouch for them are side by side.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "digest/sha256_compress.h"
#include "digest/sha256_round_constants.h"

#if defined(__aarch64__)
#include <arm_neon.h>
#if defined(__linux__)
#include <sys/auxv.h>
#endif
#endif

namespace driftmoor::digest {

bool arm_sha2_usable(ArmHwcaps hwcaps) noexcept {
    return hwcaps.asimd && hwcaps.sha2;
}

#if defined(__aarch64__)

namespace {

// The kernel's AT_HWCAP bits, as <asm/hwcap.h> numbers them on arm64
// (stable kernel ABI). Spelled out so the check reads the same wherever the
// C library's headers do not define them.
constexpr unsigned long HWCAP_BIT_ASIMD = 1UL << 1;
constexpr unsigned long HWCAP_BIT_SHA2 = 1UL << 6;

// The instructions are used only where the kernel reports them: it knows
// what every core of the machine implements, and an emulator answers for the
// processor it emulates.
ArmHwcaps query_hwcaps() noexcept {
#if defined(__linux__)
    const unsigned long hwcap = getauxval(AT_HWCAP);
    return {.asimd = (hwcap & HWCAP_BIT_ASIMD) != 0, .sha2 = (hwcap & HWCAP_BIT_SHA2) != 0};
#else
    // No way to ask that has been tried here: the portable routine.
    return {.asimd = false, .sha2 = false};
#endif
}

// "+crypto" (SHA2 with AES) rather than "+sha2": GCC 12 declares the SHA-256
// intrinsics under "+crypto" and refuses to inline them into a function that
// asks for less; clang takes either. Only the SHA-256 instructions are
// written here, and compilers never invent AES ones, so the routine runs on
// any processor with SHA2.
#define DRIFTMOOR_SHA2_TARGET __attribute__((target("+crypto")))

// Four rounds: group G covers rounds 4G..4G+3 and message words 4G..4G+3,
// held in msg[G % 4]. Once its words are added to the round constants, the
// register is free, and groups 0..11 refill it with words 4G+16..4G+19 from
// the twelve after its own (so the first group needs all sixteen loaded):
// SHA256SU0 adds sigma0 of words t-15 to words t-16, SHA256SU1 adds words
// t-7 and sigma1 of words t-2.
template <unsigned G>
DRIFTMOOR_SHA2_TARGET __attribute__((always_inline)) inline void four_rounds(
    uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t (&msg)[4]) noexcept {
    constexpr unsigned cur = G % 4;

    const uint32x4_t schedule = vaddq_u32(msg[cur], vld1q_u32(ROUND_CONSTANTS.data() + 4 * G));
    if constexpr (G < 12) {
        msg[cur] = vsha256su1q_u32(vsha256su0q_u32(msg[cur], msg[(G + 1) % 4]), msg[(G + 2) % 4],
                                   msg[(G + 3) % 4]);
    }
    // SHA256H2 needs A..D as they were before SHA256H updated them.
    const uint32x4_t abcd_before = abcd;
    abcd = vsha256hq_u32(abcd, efgh, schedule);
    efgh = vsha256h2q_u32(efgh, abcd_before, schedule);
}

template <unsigned... G>
DRIFTMOOR_SHA2_TARGET __attribute__((always_inline)) inline void all_rounds(
    uint32x4_t& abcd, uint32x4_t& efgh, const std::uint8_t* block,
    std::integer_sequence<unsigned, G...> /*groups*/) noexcept {
    // Message bytes are big-endian words; REV32 reverses each word.
    uint32x4_t msg[4] = {
        vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block))),
        vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16))),
        vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 32))),
        vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 48))),
    };
    (four_rounds<G>(abcd, efgh, msg), ...);
}

}  // namespace

bool detect_sha_ext() noexcept {
    const bool usable = arm_sha2_usable(query_hwcaps());
    sha_ext_support.store(usable ? 1 : 0, std::memory_order_relaxed);
    return usable;
}

DRIFTMOOR_SHA2_TARGET void compress_blocks_sha_ext(std::uint32_t* words, const std::uint8_t* blocks,
                                                   std::size_t count) noexcept {
    // The instructions take the state as A..D and E..H, lowest lane first:
    // the order it has in memory.
    uint32x4_t abcd = vld1q_u32(words);
    uint32x4_t efgh = vld1q_u32(words + 4);

    for (std::size_t n = 0; n < count; ++n, blocks += 64) {
        const uint32x4_t abcd_before = abcd;
        const uint32x4_t efgh_before = efgh;
        all_rounds(abcd, efgh, blocks, std::make_integer_sequence<unsigned, 16>{});
        abcd = vaddq_u32(abcd, abcd_before);
        efgh = vaddq_u32(efgh, efgh_before);
    }

    vst1q_u32(words, abcd);
    vst1q_u32(words + 4, efgh);
}

#undef DRIFTMOOR_SHA2_TARGET

#endif  // __aarch64__

}  // namespace driftmoor::digest
