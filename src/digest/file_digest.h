// The digest of one file's bytes, as the text callers store and compare.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "common/cancellation.h"
#include "digest/sha256.h"
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

// Reads the file at `path_text` from start to end and digests its bytes. The
// error is the open's or the first failed read's; nothing is retried, and no
// digest comes from a file that could not be read to its end. Between reads
// `cancellation` may end the work with its own error.
platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text,
                                                   Cancellation& cancellation);
platform::OsResult<FileDigest> calculate_file_hash(std::string_view path_text);

// The same for a file already open, read from its current position to its
// end; the caller still owns the handle.
platform::OsResult<FileDigest> digest_open_file(platform::FileHandle& file,
                                                Cancellation& cancellation);
platform::OsResult<FileDigest> digest_open_file(platform::FileHandle& file);

}  // namespace driftmoor::digest
