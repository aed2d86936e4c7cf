#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "digest/file_digest.h"
#include "manifest/manifest_table.h"
#include "manifest/siphash13.h"
#include "walk/record_arena.h"

namespace driftmoor::digest {
// Failure messages show the digest text rather than its raw bytes.
void PrintTo(const FileDigest& digest, std::ostream* out) {
    *out << digest.text();
}
}  // namespace driftmoor::digest

namespace driftmoor::manifest {
namespace {

using digest::FileDigest;

std::uint64_t sip(SipKey key, std::span<const std::uint8_t> bytes) {
    SipHash13 hasher(key);
    hasher.update(bytes);
    return hasher.finish();
}

TEST(SipHash13, PiecesHashLikeTheWholeMessage) {
    std::array<std::uint8_t, 40> message;
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    const SipKey key{0x0706050403020100u, 0x0f0e0d0c0b0a0908u};
    const std::uint64_t whole = sip(key, message);
    const std::span<const std::uint8_t> all(message);
    for (std::size_t first = 0; first <= all.size(); ++first) {
        for (std::size_t second = first; second <= all.size(); ++second) {
            SipHash13 hasher(key);
            hasher.update(all.first(first));
            hasher.update(all.subspan(first, second - first));
            hasher.update(all.subspan(second));
            ASSERT_EQ(hasher.finish(), whole) << first << ", " << second;
        }
    }
}

TEST(SipHash13, KeyAndLengthBothMatter) {
    const std::array<std::uint8_t, 9> message{1, 2, 3, 4, 5, 6, 7, 8, 9};
    const SipKey key{11, 22};
    const std::uint64_t base = sip(key, message);
    EXPECT_NE(sip({12, 22}, message), base);
    EXPECT_NE(sip({11, 23}, message), base);
    // Zero bytes add nothing to the words, only to the length.
    const std::array<std::uint8_t, 1> zero{0};
    EXPECT_NE(sip(key, zero), sip(key, {}));
    EXPECT_NE(sip(key, std::span(message).first(8)), base);
}

// A distinct digest per number, built without hashing anything.
digest::Sha256Digest numbered_digest(std::uint32_t number) {
    digest::Sha256Digest raw{};
    for (std::size_t i = 0; i < 4; ++i) {
        raw[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return raw;
}

FileDigest numbered_text(std::uint32_t number) {
    return digest::hex_encode(numbered_digest(number));
}

// The pairs as a drain hands them out: each digest as its text.
std::map<std::string, FileDigest> texts(const std::map<std::string, digest::Sha256Digest>& pairs) {
    std::map<std::string, FileDigest> shown;
    for (const auto& [key, digest] : pairs) {
        shown.emplace(key, digest::hex_encode(digest));
    }
    return shown;
}

// Every pair the table hands out, failing on a key handed out twice.
std::map<std::string, FileDigest> drained(ManifestTable& table) {
    std::map<std::string, FileDigest> pairs;
    table.drain([&](std::string_view key, const FileDigest& digest) {
        EXPECT_TRUE(pairs.emplace(key, digest).second);
        return true;
    });
    EXPECT_EQ(table.size(), 0u);
    return pairs;
}

TEST(ManifestTable, InsertReplacesOnlyAnEqualKey) {
    ManifestTable table(SipKey{1, 2});
    EXPECT_EQ(table.size(), 0u);
    // Case, separator and a trailing separator all make a different key.
    const std::vector<std::string> keys = {"a/b", "A/b", "a\\b", "a/b/", "a//b", "", "b/a"};
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
        table.insert(keys[i], numbered_digest(i));
    }
    table.insert("a/b", numbered_digest(100));
    table.insert("a/b", numbered_digest(101));
    EXPECT_EQ(table.size(), keys.size());
    auto pairs = drained(table);
    ASSERT_EQ(pairs.size(), keys.size());
    EXPECT_EQ(pairs["a/b"], numbered_text(101));
    for (std::uint32_t i = 1; i < keys.size(); ++i) {
        EXPECT_EQ(pairs[keys[i]], numbered_text(i)) << keys[i];
    }
}

TEST(ManifestTable, GrowthAndDrainKeepEveryPairUnderAnyKey) {
    std::map<std::string, digest::Sha256Digest> expected;
    for (std::uint32_t i = 0; i < 10000; ++i) {
        expected.emplace("dir/" + std::to_string(i), numbered_digest(i));
    }
    // Two hashing keys place the same pairs differently; both must keep them.
    for (const SipKey key : {SipKey{1, 2}, SipKey{0xdeadbeef, 7}}) {
        ManifestTable table(key);
        for (const auto& [text, digest] : expected) {
            table.insert(text, digest);
        }
        EXPECT_EQ(table.size(), expected.size());
        EXPECT_EQ(drained(table), texts(expected));
        EXPECT_TRUE(drained(table).empty());
        // The drained table is empty, not broken: it fills again.
        table.insert("again", numbered_digest(1));
        EXPECT_EQ(drained(table), (std::map<std::string, FileDigest>{{"again", numbered_text(1)}}));
    }
}

TEST(ManifestTable, StoppedDrainStillEmptiesTheTable) {
    ManifestTable table(SipKey{3, 4});
    for (std::uint32_t i = 0; i < 50; ++i) {
        table.insert(std::to_string(i), numbered_digest(i));
    }
    int visits = 0;
    table.drain([&](std::string_view, const FileDigest&) { return ++visits < 3; });
    EXPECT_EQ(visits, 3);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_TRUE(drained(table).empty());
}

TEST(ManifestTable, RecordsAcrossBlocksSurviveAndEveryEndOfADrainReleasesThem) {
    // Keys of many lengths fill blocks, ends of blocks falling anywhere in a
    // record; one key outgrows both a block and the heap's share, so it gets
    // mapped pages of its own and the drains copy the records out first.
    std::map<std::string, digest::Sha256Digest> expected;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        expected.emplace(std::to_string(i) + std::string(i * 37 % 700, 'x'), numbered_digest(i));
    }
    expected.emplace(std::string(walk::RecordArena::HEAP_BUDGET + 1, 'L'), numbered_digest(1));
    const auto fill = [&](ManifestTable& table) {
        for (const auto& [text, digest] : expected) {
            table.insert(text, digest);
        }
    };
    ManifestTable table(SipKey{5, 6});
    fill(table);
    // A record in the first block, changed long after its block was left.
    table.insert("0", numbered_digest(7));
    expected["0"] = numbered_digest(7);
    EXPECT_EQ(drained(table), texts(expected));

    // Stopped halfway, or thrown through: nothing of the table is left over
    // (a block held on to shows as a leak under the sanitizer), and it fills
    // again.
    fill(table);
    std::size_t visits = 0;
    table.drain([&](std::string_view, const FileDigest&) { return ++visits < 1500; });
    EXPECT_EQ(visits, 1500u);
    fill(table);
    const auto failing_visit = [](std::string_view, const FileDigest&) -> bool {
        throw std::runtime_error("visit failed");
    };
    EXPECT_THROW(table.drain(failing_visit), std::runtime_error);
    EXPECT_EQ(table.size(), 0u);
    fill(table);
    EXPECT_EQ(drained(table), texts(expected));
}

}  // namespace
}  // namespace driftmoor::manifest
