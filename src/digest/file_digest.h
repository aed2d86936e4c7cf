// The digest of one file's bytes, as the text callers store and compare.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "digest/sha256.h"
#include "platform/cancellation.h"
#include "platform/file.h"
#include "platform/os_error.h"

namespace driftmoor::digest {

// Bytes asked for per read: large enough that the per-call cost of a read
// vanishes against hashing, small enough to stay in cache on its way to it.
inline constexpr std::size_t READ_CHUNK_SIZE = 65536;

// A SHA-256 digest as 64 lowercase hexadecimal characters, high four bits of
// each byte first, in digest order. A plain value: no allocation.
class FileDigest {
  public:
    static constexpr std::size_t LENGTH = 2 * SHA256_DIGEST_SIZE;

    std::string_view text() const noexcept { return {characters_.data(), LENGTH}; }
    friend bool operator==(const FileDigest&, const FileDigest&) = default;

  private:
    friend FileDigest hex_encode(const Sha256Digest& digest) noexcept;
    std::array<char, LENGTH> characters_{};
};

FileDigest hex_encode(const Sha256Digest& digest) noexcept;

// The chunk every read lands in, READ_CHUNK_SIZE bytes on the heap. Never on
// the native stack: a call may begin with little of it left (deep in Python's
// recursion, or in a signal handler that calls in again), and the interpreter
// keeps only a few KiB spare below the point where it raises RecursionError.
// Its owner hands it to each file it reads in turn, so a walk allocates one
// for all its files. Move-only; allocating throws std::bad_alloc.
class ReadBuffer {
  public:
    ReadBuffer();

    std::span<std::byte> bytes() const noexcept { return {storage_.get(), READ_CHUNK_SIZE}; }

  private:
    struct Release {
        void operator()(std::byte* bytes) const noexcept;
    };
    std::unique_ptr<std::byte[], Release> storage_;
};

// Reads the file at `path_text` from start to end and digests its bytes. The
// error is the open's or the first failed read's; nothing is retried, and no
// digest comes from a file that could not be read to its end. Between reads
// `cancellation` may end the work with its own error.
platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text,
                                                   platform::Cancellation& cancellation);
platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text);

// The same for a file already open, read from its current position to its
// end through `buffer`, as the digest's bytes; the caller still owns the
// handle and the buffer.
// Where `bytes_done` is given, each read's bytes are added to it as they
// come (atomically: another thread shows them), for a progress line that
// counts what was read of files' contents and nothing else.
platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file, ReadBuffer& buffer,
                                                  platform::Cancellation& cancellation,
                                                  std::uint64_t* bytes_done = nullptr);
// As above with a buffer of the call's own.
platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file,
                                                  platform::Cancellation& cancellation,
                                                  std::uint64_t* bytes_done = nullptr);
platform::OsResult<Sha256Digest> digest_open_file(platform::FileHandle& file);

}  // namespace driftmoor::digest
