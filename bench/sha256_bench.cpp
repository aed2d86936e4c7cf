// Throughput of the SHA-256 compression routines and of the whole engine.
//
//   sha256_bench [MiB per repetition, default 1024] [repetitions, default 5]
//   sha256_bench --once portable|sha_ext BLOCKS
//
// Hashes one 64 KiB buffer over and over, in 65536-byte pieces, and prints
// the best of the repetitions as "<name> <MB/s> MB/s" (1 MB = 10^6 bytes).
// With --once, runs the one routine once over BLOCKS blocks (at most 1024)
// and prints the state it leaves: what bench/sha256_instructions.py counts
// the executed instructions of, under qemu.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_compress.h"

namespace {

using driftmoor::digest::SHA256_BLOCK_SIZE;
using Clock = std::chrono::steady_clock;

constexpr std::size_t PIECE_SIZE = 65536;

// Whatever the measured code produced, folded together and printed, so the
// compiler cannot drop the work.
std::uint32_t sink = 0;

std::size_t parse_count(const char* text, std::size_t fallback) {
    if (text == nullptr) {
        return fallback;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || value == 0) {
        std::fprintf(stderr, "not a positive number: %s\n", text);
        std::exit(2);
    }
    return static_cast<std::size_t>(value);
}

// Best rate over `repetitions` runs of `hash_all`, which hashes `pieces`
// pieces of PIECE_SIZE bytes.
template <typename HashAll>
double best_mb_per_s(std::size_t pieces, std::size_t repetitions, HashAll hash_all) {
    double best_seconds = 0.0;
    for (std::size_t r = 0; r < repetitions; ++r) {
        const auto start = Clock::now();
        hash_all(pieces);
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (r == 0 || elapsed.count() < best_seconds) {
            best_seconds = elapsed.count();
        }
    }
    return static_cast<double>(pieces * PIECE_SIZE) / best_seconds / 1e6;
}

int run_once(std::string_view name, const char* blocks_text) {
    namespace dd = driftmoor::digest;
    const std::size_t blocks = parse_count(blocks_text, 0);
    std::vector<std::uint8_t> data(blocks * SHA256_BLOCK_SIZE, 0x5A);
    dd::CompressBlocksFn routine = nullptr;
    if (name == "portable") {
        routine = &dd::compress_blocks_portable;
    } else if (name == "sha_ext" && dd::detect_sha_ext()) {
        routine = &dd::compress_blocks_sha_ext;
    }
    if (routine == nullptr || blocks > 1024) {
        std::fprintf(stderr, "no routine %.*s here, or more than 1024 blocks\n",
                     static_cast<int>(name.size()), name.data());
        return 2;
    }
    auto words = dd::sha256_init().words;
    routine(words.data(), data.data(), blocks);
    for (const std::uint32_t word : words) {
        std::printf("%08x", static_cast<unsigned>(word));
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace dd = driftmoor::digest;

    if (argc == 4 && std::string_view(argv[1]) == "--once") {
        return run_once(argv[2], argv[3]);
    }

    const std::size_t mib = parse_count(argc > 1 ? argv[1] : nullptr, 1024);
    const std::size_t repetitions = parse_count(argc > 2 ? argv[2] : nullptr, 5);
    const std::size_t pieces = mib * (1024 * 1024) / PIECE_SIZE;

    std::vector<std::uint8_t> buffer(PIECE_SIZE);
    std::uint32_t x = 0x9E3779B9U;
    for (auto& byte : buffer) {
        x = x * 1664525U + 1013904223U;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    const std::size_t blocks_per_piece = PIECE_SIZE / SHA256_BLOCK_SIZE;

    const auto run_routine = [&](dd::CompressBlocksFn routine) {
        return [&, routine](std::size_t n) {
            auto words = dd::sha256_init().words;
            for (std::size_t i = 0; i < n; ++i) {
                routine(words.data(), buffer.data(), blocks_per_piece);
            }
            sink ^= words[0];
        };
    };

    std::printf("# %zu MiB per repetition, best of %zu, %zu-byte pieces\n", mib, repetitions,
                PIECE_SIZE);

    std::printf("portable %10.1f MB/s\n",
                best_mb_per_s(pieces, repetitions, run_routine(&dd::compress_blocks_portable)));

    const bool have_sha_ext = dd::detect_sha_ext();
    if (have_sha_ext) {
        std::printf("sha_ext  %10.1f MB/s\n",
                    best_mb_per_s(pieces, repetitions, run_routine(&dd::compress_blocks_sha_ext)));
    } else {
        std::printf("sha_ext  unavailable\n");
    }

    // The full engine as callers use it: dispatch starts out undecided.
    dd::sha_ext_support.store(dd::SHA_EXT_UNKNOWN, std::memory_order_relaxed);
    const double engine = best_mb_per_s(pieces, repetitions, [&](std::size_t n) {
        dd::Sha256State state = dd::sha256_init();
        for (std::size_t i = 0; i < n; ++i) {
            dd::sha256_update(state, std::span<const std::uint8_t>(buffer));
        }
        sink ^= dd::sha256_finalize(state)[0];
    });
    std::printf("engine   %10.1f MB/s (%s)\n", engine,
                dd::sha_ext_support.load(std::memory_order_relaxed) == 1 ? "sha_ext" : "portable");

    std::printf("# sink %08x\n", static_cast<unsigned>(sink));
    return 0;
}
