// A manifest as `check` reads it: the files it lists, each with its digest
// and the line it was on, read as a stream of lines in the forms GNU
// sha256sum writes and checks, held compactly, and put in the order of their
// paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "walk/record_arena.h"

namespace driftmoor::tree {

// Why a manifest cannot be used. The command words each kind.
enum class ManifestFault : std::uint8_t {
    LineTooLong,  // a line longer than MAX_LINE_LENGTH
    NotALine,     // not '<64 hex digits>  <path>'
    NotABsdLine,  // not 'SHA256 (<path>) = <64 hex digits>'
    NotADigest,   // the digest is not 64 hexadecimal digits
    BadEscape,    // an escape other than \\, \n or \r
    ListedTwice,  // two lines name the same path
};

struct ManifestProblem {
    ManifestFault fault;
    std::uint64_t line = 0;  // where it was found; 0 for a path added without a line
    // ListedTwice: the path, and the line it was first listed on (0 when it
    // came without one).
    std::string path{};
    std::uint64_t first_line = 0;
};

class ListedManifest {
  public:
    // Longer lines are refused rather than gathered without end: no path a
    // system can open comes near it, and a stream with no line feeds (a
    // device, a file of zeros) would otherwise take all memory.
    static constexpr std::size_t MAX_LINE_LENGTH = std::size_t{64} << 10;

    ListedManifest() = default;
    ListedManifest(ListedManifest&&) noexcept = default;
    ListedManifest& operator=(ListedManifest&&) noexcept = default;

    // Reads the next bytes of the manifest's lines, as they come; the first
    // problem ends the reading.
    std::optional<ManifestProblem> read(std::string_view bytes);
    // The end of the bytes: the last line counts without its line feed.
    std::optional<ManifestProblem> finish_reading();

    // Bytes of the manifest taken in another form (the JSON text whose pairs
    // `add` takes): counted in the digest of its bytes.
    void note(std::string_view bytes) noexcept;
    // The SHA-256 of the manifest's bytes as read and noted so far: what a
    // state of its files binds to.
    digest::Sha256Digest bytes_digest() const noexcept;

    // One pair of another form (JSON): the path as written, the digest's 64
    // hexadecimal digits.
    std::optional<ManifestProblem> add(std::string_view path, std::string_view hex_digest);

    // Puts the files in the order of their paths' bytes; a path listed twice
    // (by any spelling of it) is then a problem. Nothing is added after.
    std::optional<ManifestProblem> seal();

    // The files, in the order of their paths once sealed; each record's key
    // is the path in its plain spelling (see path_spelling.h), its digest
    // in lowercase, its tag the line it was listed on (0: none).
    std::span<const walk::FileRecord* const> files() const noexcept { return order_; }
    std::size_t size() const noexcept { return order_.size(); }

  private:
    std::optional<ManifestProblem> read_line(std::string_view line);
    std::optional<ManifestProblem> read_sha256sum_line(std::string_view rest, bool escaped);
    std::optional<ManifestProblem> read_bsd_line(std::string_view rest, bool escaped);
    std::optional<ManifestProblem> keep(std::string_view path, std::string_view hex_digest,
                                        bool escaped, std::uint64_t line);

    walk::RecordArena records_{walk::RecordArena::Placement::PagesOnly};
    std::vector<const walk::FileRecord*> order_;
    std::string partial_;  // the start of a line whose end has not come yet
    digest::Sha256State bytes_hash_ = digest::sha256_init();
    std::uint64_t lines_read_ = 0;
    // Whether lines give the path after the digest and one blank alone, as
    // `md5 -r` and sha256sum's own reading allow: the first line that says
    // decides for the whole manifest, so that a name that starts with a
    // blank or a star cannot be read two ways.
    std::optional<bool> digest_then_one_blank_;
};

}  // namespace driftmoor::tree
