#include "digest/file_digest.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>

#include "common/internal_failure.h"
#include "platform/file.h"

namespace driftmoor::digest {

namespace {

// A cache line: the engine reads the chunk block by block from its start.
constexpr std::align_val_t READ_BUFFER_ALIGNMENT{64};

// The two characters of every byte value, high four bits first. Encoding is
// then one lookup and one two-byte store per byte: a digest is encoded for
// every file, and building each character on its own took several times the
// instructions.
constexpr auto HEX_PAIRS = [] {
    constexpr std::string_view alphabet = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t byte = 0; byte < pairs.size(); ++byte) {
        pairs[byte] = {alphabet[byte >> 4], alphabet[byte & 15]};
    }
    return pairs;
}();

}  // namespace

FileDigest hex_encode(const Sha256Digest& digest) noexcept {
    FileDigest encoded;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        std::memcpy(encoded.characters_.data() + 2 * i, HEX_PAIRS[digest[i]].data(), 2);
    }
    return encoded;
}

// Left uninitialised: only bytes a read has just placed are ever used.
ReadBuffer::ReadBuffer()
    : storage_(static_cast<std::byte*>(::operator new(READ_CHUNK_SIZE, READ_BUFFER_ALIGNMENT))) {}

void ReadBuffer::Release::operator()(std::byte* bytes) const noexcept {
    ::operator delete(bytes, READ_CHUNK_SIZE, READ_BUFFER_ALIGNMENT);
}

platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file, ReadBuffer& buffer,
                                                  platform::Cancellation& cancellation,
                                                  std::uint64_t* bytes_done) {
    Sha256State state = sha256_init();
    // Reused by every read; the engine compresses whole blocks where they lie.
    const std::span<std::byte> chunk = buffer.bytes();
    for (;;) {
        auto count = platform::read_into(file, chunk);
        if (!count) {
            return std::unexpected(std::move(count).error());
        }
        if (*count > chunk.size()) {
            panic("read_into reported more bytes than were requested");
        }
        if (*count == 0) {
            break;
        }
        sha256_update(state,
                      std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), *count));
        if (bytes_done != nullptr) {
            std::atomic_ref(*bytes_done).fetch_add(*count, std::memory_order_relaxed);
        }
        // An endless file never reaches its end: only the caller can stop it.
        if (auto go_on = cancellation.check(); !go_on) {
            return std::unexpected(std::move(go_on).error());
        }
    }
    return sha256_finalize(state);
}

platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file,
                                                  platform::Cancellation& cancellation,
                                                  std::uint64_t* bytes_done) {
    ReadBuffer buffer;
    return digest_open_file(file, buffer, cancellation, bytes_done);
}

platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file) {
    platform::Cancellation never;
    return digest_open_file(file, never);
}

platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text,
                                                   platform::Cancellation& cancellation) {
    auto file = platform::open_for_reading(path_text);
    if (!file) {
        return std::unexpected(std::move(file).error());
    }
    // The handle closes as it goes out of scope, on every path, an internal
    // failure included.
    auto digest = digest_open_file(*file, cancellation);
    platform::close_file(std::move(*file));
    if (!digest) {
        return std::unexpected(std::move(digest).error());
    }
    return hex_encode(*digest);
}

platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text) {
    platform::Cancellation never;
    return calculate_file_hash(path_text, never);
}

}  // namespace driftmoor::digest
