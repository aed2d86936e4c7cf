#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_compress.h"

namespace driftmoor::digest {
namespace {

// xorshift32, top byte of each step. Python replicates it below, so the
// expected digests come from hashlib, not from this code.
std::vector<std::uint8_t> pseudo_random_bytes(std::size_t n, std::uint32_t seed = 0x2545F491U) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed;
    for (auto& byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string hex(const Sha256Digest& digest) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t byte : digest) {
        out += DIGITS[byte >> 4];
        out += DIGITS[byte & 15];
    }
    return out;
}

std::string digest_hex(std::span<const std::uint8_t> data) {
    Sha256State state = sha256_init();
    sha256_update(state, data);
    return hex(sha256_finalize(state));
}

// Feeds data in consecutive pieces of the given sizes (they must sum to
// data.size()).
std::string pieces_hex(std::span<const std::uint8_t> data, const std::vector<std::size_t>& sizes) {
    Sha256State state = sha256_init();
    std::size_t offset = 0;
    for (const std::size_t size : sizes) {
        sha256_update(state, data.subspan(offset, size));
        offset += size;
    }
    EXPECT_EQ(offset, data.size());
    return hex(sha256_finalize(state));
}

void expect_same_state(const Sha256State& a, const Sha256State& b) {
    EXPECT_EQ(a.words, b.words);
    EXPECT_EQ(a.block_count, b.block_count);
    EXPECT_EQ(a.buffer_len, b.buffer_len);
    EXPECT_EQ(a.buffer, b.buffer);
}

// Restores the process-wide routine choice when a test that forces it ends.
struct SupportRestorer {
    ~SupportRestorer() { sha_ext_support.store(SHA_EXT_UNKNOWN, std::memory_order_relaxed); }
};

struct KnownDigest {
    std::size_t length;
    const char* hex;
};

// Prefixes of pseudo_random_bytes(65537), digested by hashlib:
//   python3 - <<'EOF'
//   import hashlib
//   x=0x2545F491;b=bytearray()
//   for _ in range(65537):
//       x^=(x<<13)&0xFFFFFFFF;x^=x>>17;x^=(x<<5)&0xFFFFFFFF;b.append(x>>24)
//   for n in (0,1,55,56,63,64,65,119,120,127,128,247,300,503,1000,65536,65537):
//       print(n,hashlib.sha256(b[:n]).hexdigest())
//   EOF
// Lengths 55/56 and 119/120 straddle the point where padding needs one more
// block; 63/64/65 and 127/128 straddle block edges; 55, 119, 247 and 503 pad
// to exactly 1, 2, 4 and 8 blocks.
constexpr KnownDigest PSEUDO_RANDOM_DIGESTS[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {1, "f031efa58744e97a34555ca98621d4e8a52ceb5f20b891d5c44ccae0daaaa644"},
    {55, "53d4e25684e1c25764c539ca0b4dcb665dc29968eb29a642de015a5a1942a5d8"},
    {56, "5bfb7c6794666e9036415e24b7ea0ba9801714103a4ea50296e43f57be4f472d"},
    {63, "5262c0d02487a89b32c6c5506163a07adcdbc116584956fd1cab1a0bbae9fcc2"},
    {64, "9d89e03b9ff283a594b56a1f537b09bdfef9b63de32b304f5c88766ff8233d4c"},
    {65, "2b18dcb81e0787e176941fa9707a06459b22ab7227d96e49ae1015759ab015e5"},
    {119, "760186d474873ad5dcfbe9e6ebdb208794ae27c76977bed53854d71a0fb07a1d"},
    {120, "fade16623842b67a1739976fbd498a8ce4ee3296e74f46e955a0242d720b1674"},
    {127, "523ffe1c57602e9a0d12ad97b20c012ac0046f2fb78d17a16300773ec518bff7"},
    {128, "53edf674c903d2dfe0c8a0acbe469f6386b02438124e3b71908df979fe70b3ab"},
    {247, "0b0821ad7b2c00ed50c5e56c1c0a92191de27bfbe346b4d9992fb743eabcff7c"},
    {300, "68f8bacb61f416981ae4cc8610d5bbbd4d93e9cc064c62f66c7562f3de16954b"},
    {503, "b89b225bb9021e05244ced2e7b3f018036d7f8990c440203d99826dee3011ab8"},
    {1000, "8a06cca9422d892fc74ffea5455339ac581e97d50fbc3480f00c72d55a48d8ed"},
    {65536, "4f6954ef8327e02bffae8b5bb46a8f8885204df5cc90f6ddc5c68939b8a6cb14"},
    {65537, "c8860f2f553e6c9fd233d0a1ef97f40c1822515179b2098adfa3eabe7dde42c1"},
};
constexpr const char* DIGEST_300 =
    "68f8bacb61f416981ae4cc8610d5bbbd4d93e9cc064c62f66c7562f3de16954b";
constexpr const char* DIGEST_65537 =
    "c8860f2f553e6c9fd233d0a1ef97f40c1822515179b2098adfa3eabe7dde42c1";

constexpr const char* DIGEST_ABC =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* DIGEST_MILLION_A =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

const char* known_digest(std::size_t length) {
    for (const auto& known : PSEUDO_RANDOM_DIGESTS) {
        if (known.length == length) {
            return known.hex;
        }
    }
    return "not in the table";
}

// Runs the known-answer checks (the published vectors, then the table above)
// through whatever compress_blocks picks.
void expect_known_answers() {
    EXPECT_EQ(digest_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_hex(bytes_of("abc")), DIGEST_ABC);
    EXPECT_EQ(digest_hex(bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_hex(bytes_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                                  "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(digest_hex(bytes_of(std::string(1'000'000, 'a'))), DIGEST_MILLION_A);
    const auto data = pseudo_random_bytes(65537);
    for (const auto& known : PSEUDO_RANDOM_DIGESTS) {
        SCOPED_TRACE(known.length);
        EXPECT_EQ(digest_hex(std::span(data).first(known.length)), known.hex);
    }
}

TEST(Sha256KnownAnswers, PublishedVectorsAndHashlibDigests) {
    expect_known_answers();
}

TEST(Sha256KnownAnswers, OneMillionAInOddPieces) {
    const std::string million(1'000'000, 'a');
    // Pieces that mostly start and end mid-block.
    std::vector<std::size_t> sizes(1'000'000 / 1000, 1000);
    sizes.front() = 999;
    sizes.back() = 1001;
    EXPECT_EQ(pieces_hex(bytes_of(million), sizes), DIGEST_MILLION_A);
}

TEST(Sha256Splits, EverySingleSplitPoint) {
    const auto data = pseudo_random_bytes(300);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(pieces_hex(data, {cut, data.size() - cut}), DIGEST_300);
    }
}

TEST(Sha256Splits, OneByteAtATime) {
    const auto data = pseudo_random_bytes(300);
    EXPECT_EQ(pieces_hex(data, std::vector<std::size_t>(data.size(), 1)), DIGEST_300);
}

TEST(Sha256Splits, SeededRandomSplitsIncludingEmptyPieces) {
    const auto data = pseudo_random_bytes(65537);
    std::mt19937 rng(20240611U);
    // Mostly short pieces (so buffer fill levels vary), sometimes several
    // blocks, sometimes nothing at all.
    std::uniform_int_distribution<std::size_t> small(0, 150);
    std::uniform_int_distribution<std::size_t> large(0, 5000);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        std::vector<std::size_t> sizes;
        std::size_t left = data.size();
        while (left != 0) {
            const std::size_t size = std::min(left, (rng() % 4 == 0) ? large(rng) : small(rng));
            sizes.push_back(size);
            left -= size;
        }
        EXPECT_EQ(pieces_hex(data, sizes), DIGEST_65537);
    }
}

TEST(Sha256State, EmptyPiecesChangeNothing) {
    const auto data = pseudo_random_bytes(100);
    for (const std::size_t fed :
         {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{100}}) {
        SCOPED_TRACE(fed);
        Sha256State state = sha256_init();
        sha256_update(state, std::span(data).first(fed));
        const Sha256State before = state;
        sha256_update(state, std::span<const std::uint8_t>{});  // null data pointer
        sha256_update(state, std::span(data).subspan(fed, 0));
        expect_same_state(state, before);
    }
}

TEST(Sha256State, PieceShorterThanTheGapIsOnlyBuffered) {
    const auto data = pseudo_random_bytes(63);
    Sha256State state = sha256_init();
    sha256_update(state, data);
    EXPECT_EQ(state.block_count, 0U);
    EXPECT_EQ(state.buffer_len, 63U);
    EXPECT_EQ(state.words, sha256_init().words);
}

TEST(Sha256State, WholeBlockInOnePieceIsCompressedAtOnce) {
    const auto data = pseudo_random_bytes(64);
    Sha256State state = sha256_init();
    sha256_update(state, data);
    EXPECT_EQ(state.block_count, 1U);
    EXPECT_EQ(state.buffer_len, 0U);

    auto expected = sha256_init().words;
    compress_blocks_portable(expected.data(), data.data(), 1);
    EXPECT_EQ(state.words, expected);
}

TEST(Sha256State, PieceThatCompletesPartialBuffer) {
    const auto data = pseudo_random_bytes(64 + 64 + 2);
    auto expected = sha256_init().words;
    compress_blocks_portable(expected.data(), data.data(), 1);

    Sha256State state = sha256_init();
    sha256_update(state, std::span(data).first(30));
    sha256_update(state, std::span(data).subspan(30, 34));  // exactly fills it
    EXPECT_EQ(state.block_count, 1U);
    EXPECT_EQ(state.buffer_len, 0U);
    EXPECT_EQ(state.words, expected);

    // Completing the buffer, one whole block, and a tail, in one piece.
    Sha256State more = sha256_init();
    sha256_update(more, std::span(data).first(30));
    sha256_update(more, std::span(data).subspan(30));
    EXPECT_EQ(more.block_count, 2U);
    EXPECT_EQ(more.buffer_len, 2U);
    compress_blocks_portable(expected.data(), data.data() + 64, 1);
    EXPECT_EQ(more.words, expected);
    EXPECT_EQ(more.buffer[0], data[128]);
    EXPECT_EQ(more.buffer[1], data[129]);
}

TEST(Sha256Compress, PortableMatchesPublishedOneBlockDigest) {
    // "abc" padded by hand: one block, the 0x80 marker, length 24 bits.
    std::array<std::uint8_t, 64> block{'a', 'b', 'c', 0x80};
    block[63] = 24;
    auto words = sha256_init().words;
    compress_blocks_portable(words.data(), block.data(), 1);
    EXPECT_EQ(words[0], 0xba7816bfU);
    EXPECT_EQ(words[7], 0xf20015adU);
}

// Every compression routine, run directly. The one on the processor's own
// instructions is skipped where detection finds none, unless
// DRIFTMOOR_REQUIRE_SHA_EXT=1 says this processor has them (the emulated
// aarch64 run): then its absence fails.
struct Variant {
    const char* name;
    CompressBlocksFn routine;
    bool needs_sha_instructions;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

constexpr Variant VARIANTS[] = {
    {"portable", &compress_blocks_portable, false},
    {"sha_ext", &compress_blocks_sha_ext, true},
};

bool sha_ext_required() {
    const char* required = std::getenv("DRIFTMOOR_REQUIRE_SHA_EXT");
    return required != nullptr && std::string_view(required) == "1";
}

class Sha256Variant : public ::testing::TestWithParam<Variant> {
  protected:
    void SetUp() override {
        if (GetParam().needs_sha_instructions && !detect_sha_ext()) {
            if (sha_ext_required()) {
                FAIL() << "DRIFTMOOR_REQUIRE_SHA_EXT=1, but detection finds no SHA instructions";
            }
            GTEST_SKIP() << "this processor lacks SHA instructions";
        }
    }
    void TearDown() override { sha_ext_support.store(SHA_EXT_UNKNOWN, std::memory_order_relaxed); }
    CompressBlocksFn routine() const { return GetParam().routine; }
};

// 64n - 9 message bytes, padded by hand, are exactly n blocks: one call over
// them from the initial value yields the message's digest, so the state each
// block hands to the next is checked against hashlib, not against another
// routine.
TEST_P(Sha256Variant, BlockCounts) {
    const auto data = pseudo_random_bytes(8 * 64);
    for (const std::size_t count : {1U, 2U, 4U, 8U}) {
        SCOPED_TRACE(count);
        const std::size_t length = 64 * count - 9;
        std::vector<std::uint8_t> blocks(data.begin(), data.begin() + length);
        blocks.push_back(0x80);
        const std::uint64_t bits = 8 * length;
        for (int shift = 56; shift >= 0; shift -= 8) {
            blocks.push_back(static_cast<std::uint8_t>(bits >> shift));
        }
        ASSERT_EQ(blocks.size(), 64 * count);

        auto words = sha256_init().words;
        routine()(words.data(), blocks.data(), count);
        Sha256Digest digest{};
        for (std::size_t i = 0; i < words.size(); ++i) {
            for (std::size_t byte = 0; byte < 4; ++byte) {
                digest[4 * i + byte] = static_cast<std::uint8_t>(words[i] >> (24 - 8 * byte));
            }
        }
        EXPECT_EQ(hex(digest), known_digest(length));
    }
}

TEST_P(Sha256Variant, AgreesWithPortableFromAnyState) {
    const auto data = pseudo_random_bytes(8 * 64, 0xC0FFEEU);
    // A start other than the initial value catches a mixed-up state layout.
    const auto start =
        std::array<std::uint32_t, 8>{0x01234567U, 0x89abcdefU, 0xfedcba98U, 0x76543210U,
                                     0xdeadbeefU, 0x0badf00dU, 0x13579bdfU, 0x2468ace0U};
    for (const std::size_t count : {1U, 2U, 4U, 8U}) {
        SCOPED_TRACE(count);
        auto portable = start;
        auto variant = start;
        compress_blocks_portable(portable.data(), data.data(), count);
        routine()(variant.data(), data.data(), count);
        EXPECT_EQ(variant, portable);
        EXPECT_NE(portable, start);
    }
}

TEST_P(Sha256Variant, ZeroBlocksChangeNothing) {
    const auto start = sha256_init().words;
    auto words = start;
    routine()(words.data(), nullptr, 0);
    EXPECT_EQ(words, start);
}

// The whole engine, with the dispatch held to this routine.
TEST_P(Sha256Variant, KnownAnswersThroughTheDispatch) {
    sha_ext_support.store(GetParam().needs_sha_instructions ? 1 : 0, std::memory_order_relaxed);
    expect_known_answers();
    EXPECT_EQ(sha_ext_support.load(), GetParam().needs_sha_instructions ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Routines, Sha256Variant, ::testing::ValuesIn(VARIANTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256Compress, ZeroBlocksThroughTheDispatch) {
    const auto start = sha256_init().words;
    auto words = start;
    compress_blocks(words.data(), nullptr, 0);
    EXPECT_EQ(words, start);
}

TEST(Sha256Detection, UsableOnlyWithAllFourFeatures) {
    for (unsigned bits = 0; bits < 16; ++bits) {
        const CpuFeatures features{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0,
                                   (bits & 8) != 0};
        SCOPED_TRACE(bits);
        EXPECT_EQ(sha_ext_usable(features), bits == 15);
    }
    // The cases a sloppy check would get wrong: SHA without its helpers.
    EXPECT_FALSE(sha_ext_usable({.sse2 = true, .ssse3 = true, .sse41 = false, .sha = true}));
    EXPECT_FALSE(sha_ext_usable({.sse2 = true, .ssse3 = false, .sse41 = true, .sha = true}));
}

TEST(Sha256Detection, ArmUsableOnlyWithSimdAndSha2) {
    EXPECT_TRUE(arm_sha2_usable({.asimd = true, .sha2 = true}));
    EXPECT_FALSE(arm_sha2_usable({.asimd = true, .sha2 = false}));
    EXPECT_FALSE(arm_sha2_usable({.asimd = false, .sha2 = true}));
    EXPECT_FALSE(arm_sha2_usable({.asimd = false, .sha2 = false}));
}

#if defined(__aarch64__) && defined(__linux__)
// AT_HWCAP as /proc/self/auxv lists it (pairs of 64-bit words, key and
// value, up to AT_NULL): what the kernel, or an emulator, handed the process.
std::uint64_t hwcap_from_proc() {
    constexpr std::uint64_t AT_NULL_KEY = 0;
    constexpr std::uint64_t AT_HWCAP_KEY = 16;
    std::ifstream auxv("/proc/self/auxv", std::ios::binary);
    std::uint64_t pair[2];
    while (auxv.read(reinterpret_cast<char*>(pair), sizeof pair) && pair[0] != AT_NULL_KEY) {
        if (pair[0] == AT_HWCAP_KEY) {
            return pair[1];
        }
    }
    ADD_FAILURE() << "no AT_HWCAP in /proc/self/auxv";
    return 0;
}
#endif

TEST(Sha256Detection, AgreesWithAnIndependentReading) {
    SupportRestorer restore;
#if defined(__x86_64__) || defined(__i386__)
    // The compiler's own reading of CPUID.
    const bool expected = __builtin_cpu_supports("sse2") && __builtin_cpu_supports("ssse3") &&
                          __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sha");
#elif defined(__aarch64__) && defined(__linux__)
    // The kernel's bits for Advanced SIMD (1) and SHA2 (6), read from the
    // file rather than through getauxval.
    const std::uint64_t hwcap = hwcap_from_proc();
    const bool expected = ((hwcap >> 1) & 1) != 0 && ((hwcap >> 6) & 1) != 0;
#else
    const bool expected = false;
#endif
    sha_ext_support.store(SHA_EXT_UNKNOWN, std::memory_order_relaxed);
    EXPECT_EQ(detect_sha_ext(), expected);
    EXPECT_EQ(sha_ext_support.load(), expected ? 1 : 0);
    if (sha_ext_required()) {
        EXPECT_TRUE(expected) << "DRIFTMOOR_REQUIRE_SHA_EXT=1 on a processor without them";
    }
}

TEST(Sha256Dispatch, SelectsByStoredValue) {
    SupportRestorer restore;
    EXPECT_EQ(select_compress_routine(0), &compress_blocks_portable);
    EXPECT_EQ(select_compress_routine(1), &compress_blocks_sha_ext);

    sha_ext_support.store(SHA_EXT_UNKNOWN, std::memory_order_relaxed);
    const CompressBlocksFn chosen = select_compress_routine(SHA_EXT_UNKNOWN);
    const std::uint8_t stored = sha_ext_support.load();
    ASSERT_TRUE(stored == 0 || stored == 1);
    EXPECT_EQ(stored, detect_sha_ext() ? 1 : 0);
    EXPECT_EQ(chosen, stored == 1 ? &compress_blocks_sha_ext : &compress_blocks_portable);
}

TEST(Sha256Dispatch, FirstCompressionRunsDetection) {
    SupportRestorer restore;
    const std::uint8_t expected = detect_sha_ext() ? 1 : 0;
    sha_ext_support.store(SHA_EXT_UNKNOWN, std::memory_order_relaxed);
    EXPECT_EQ(digest_hex(bytes_of("abc")), DIGEST_ABC);
    EXPECT_EQ(sha_ext_support.load(), expected);
}

}  // namespace
}  // namespace driftmoor::digest
