// The compression routines behind compress_blocks and the processor check
// that chooses between them. Every routine has the same signature and
// contract, so tests can run each one directly and compare them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace driftmoor::digest {

using CompressBlocksFn = void (*)(std::uint32_t* words, const std::uint8_t* blocks,
                                  std::size_t count) noexcept;

// General-purpose 32-bit code; runs on every processor.
void compress_blocks_portable(std::uint32_t* words, const std::uint8_t* blocks,
                              std::size_t count) noexcept;

// The processor's own SHA-256 instructions: on x86 the SHA extensions (with
// SSSE3 and SSE4.1, sha256_x86_sha_ext.cpp), on aarch64 the ARMv8 SHA2
// extension (sha256_arm_sha2.cpp). Only call it after detect_sha_ext()
// answered true. Elsewhere there are none: detection answers false, and
// this is the portable routine under another name.
void compress_blocks_sha_ext(std::uint32_t* words, const std::uint8_t* blocks,
                             std::size_t count) noexcept;

// What an x86 processor offers, as the CPUID bits the choice depends on.
struct CpuFeatures {
    bool sse2;
    bool ssse3;
    bool sse41;
    bool sha;
};

// True when every instruction the x86 routine uses is available.
bool sha_ext_usable(CpuFeatures features) noexcept;

// What the kernel reports of an aarch64 processor (AT_HWCAP), as the bits
// the choice depends on.
struct ArmHwcaps {
    bool asimd;
    bool sha2;
};

// True when every instruction the aarch64 routine uses is available.
bool arm_sha2_usable(ArmHwcaps hwcaps) noexcept;

// Queries the processor (CPUID on x86, the kernel's AT_HWCAP on aarch64),
// stores 0 or 1 into sha_ext_support, returns it.
bool detect_sha_ext() noexcept;

// Process-wide: 0xFF until the first compression, then 0 (portable) or 1
// (the processor's SHA instructions). Every writer stores the same value, so
// relaxed single-byte accesses are enough.
inline constexpr std::uint8_t SHA_EXT_UNKNOWN = 0xFF;
extern std::atomic<std::uint8_t> sha_ext_support;

// The routine compress_blocks calls for a given value of sha_ext_support,
// running detection first when the value is still unknown.
CompressBlocksFn select_compress_routine(std::uint8_t support) noexcept;

}  // namespace driftmoor::digest
