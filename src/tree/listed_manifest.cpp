#include "tree/listed_manifest.h"

#include <algorithm>
#include <array>

#include "digest/file_digest.h"
#include "tree/path_escape.h"
#include "tree/path_order.h"
#include "tree/path_spelling.h"

namespace driftmoor::tree {
namespace {

constexpr std::string_view BSD_TAG = "SHA256";

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The digest that 64 hexadecimal digits of either case spell; none for
// anything else.
std::optional<digest::Sha256Digest> parsed_digest(std::string_view hex) noexcept {
    if (hex.size() != digest::FileDigest::LENGTH) {
        return std::nullopt;
    }
    digest::Sha256Digest bytes{};
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        const int high = hex_value(hex[2 * index]);
        const int low = hex_value(hex[2 * index + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[index] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

ManifestProblem problem(ManifestFault fault, std::uint64_t line) {
    return {.fault = fault, .line = line};
}

}  // namespace

void ListedManifest::note(std::string_view bytes) noexcept {
    digest::sha256_update(
        bytes_hash_, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

digest::Sha256Digest ListedManifest::bytes_digest() const noexcept {
    digest::Sha256State copy = bytes_hash_;
    return digest::sha256_finalize(copy);
}

std::optional<ManifestProblem> ListedManifest::read(std::string_view bytes) {
    note(bytes);
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (partial_.size() + piece.size() > MAX_LINE_LENGTH) {
            return problem(ManifestFault::LineTooLong, lines_read_ + 1);
        }
        if (end == std::string_view::npos) {
            partial_ += piece;
            return std::nullopt;
        }
        bytes.remove_prefix(end + 1);
        std::optional<ManifestProblem> found;
        if (partial_.empty()) {
            found = read_line(piece);
        } else {
            partial_ += piece;
            found = read_line(partial_);
            partial_.clear();
        }
        if (found) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<ManifestProblem> ListedManifest::finish_reading() {
    if (partial_.empty()) {
        return std::nullopt;
    }
    std::string last = std::move(partial_);
    partial_.clear();
    return read_line(last);
}

// A line as `sha256sum -c` reads it: a CR ending it dropped (a file written
// on Windows), blanks before it skipped, empty lines and those starting with
// `#` passed over, then a backslash that marks an escaped path, then either
// form.
std::optional<ManifestProblem> ListedManifest::read_line(std::string_view line) {
    ++lines_read_;
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with('#')) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start < line.size() && is_blank(line[start])) {
        ++start;
    }
    line.remove_prefix(start);
    const bool escaped = line.starts_with('\\');
    if (escaped) {
        line.remove_prefix(1);
    }
    if (line.empty()) {
        return std::nullopt;
    }
    if (line.starts_with(BSD_TAG)) {
        std::string_view after = line.substr(BSD_TAG.size());
        if (after.starts_with(' ')) {
            after.remove_prefix(1);
        }
        if (after.starts_with('(')) {
            return read_bsd_line(after.substr(1), escaped);
        }
    }
    return read_sha256sum_line(line, escaped);
}

// `<digest><blank><space or *><path>`: sha256sum's own form, the star
// (binary mode) meaning nothing more; or `<digest><blank><path>`, where the
// manifest holds that form throughout.
std::optional<ManifestProblem> ListedManifest::read_sha256sum_line(std::string_view rest,
                                                                   bool escaped) {
    std::size_t digest_end = 0;
    while (digest_end < rest.size() && !is_blank(rest[digest_end])) {
        ++digest_end;
    }
    if (digest_end == rest.size()) {
        return problem(ManifestFault::NotALine, lines_read_);
    }
    const std::string_view digest = rest.substr(0, digest_end);
    std::string_view path = rest.substr(digest_end + 1);
    const bool marked = !path.empty() && (path.front() == ' ' || path.front() == '*');
    const bool one_blank = !marked || path.size() == 1;
    if (!digest_then_one_blank_) {
        digest_then_one_blank_ = one_blank;
    }
    if (one_blank && !*digest_then_one_blank_) {
        return problem(ManifestFault::NotALine, lines_read_);
    }
    if (!*digest_then_one_blank_) {
        path.remove_prefix(1);
    }
    if (path.empty()) {
        return problem(ManifestFault::NotALine, lines_read_);
    }
    return keep(path, digest, escaped, lines_read_);
}

// `(<path>) = <digest>` after the tag: the path ends at the line's last `)`,
// as sha256sum reads it, and any blanks may stand around the `=`.
std::optional<ManifestProblem> ListedManifest::read_bsd_line(std::string_view rest, bool escaped) {
    const std::size_t close = rest.rfind(')');
    if (close == std::string_view::npos || close == 0) {
        return problem(ManifestFault::NotABsdLine, lines_read_);
    }
    std::size_t at = close + 1;
    while (at < rest.size() && is_blank(rest[at])) {
        ++at;
    }
    if (at == rest.size() || rest[at] != '=') {
        return problem(ManifestFault::NotABsdLine, lines_read_);
    }
    ++at;
    while (at < rest.size() && is_blank(rest[at])) {
        ++at;
    }
    return keep(rest.substr(0, close), rest.substr(at), escaped, lines_read_);
}

std::optional<ManifestProblem> ListedManifest::add(std::string_view path,
                                                   std::string_view hex_digest) {
    return keep(path, hex_digest, false, 0);
}

std::optional<ManifestProblem> ListedManifest::keep(std::string_view path,
                                                    std::string_view hex_digest, bool escaped,
                                                    std::uint64_t line) {
    const auto digest = parsed_digest(hex_digest);
    if (!digest) {
        return problem(ManifestFault::NotADigest, line);
    }
    std::optional<std::string> unescaped_path;
    if (escaped) {
        unescaped_path = unescaped(path);
        if (!unescaped_path) {
            return problem(ManifestFault::BadEscape, line);
        }
        path = *unescaped_path;
    }
    order_.push_back(&records_.append(line, plain_spelling(path), *digest));
    return std::nullopt;
}

std::optional<ManifestProblem> ListedManifest::seal() {
    sort_by_path(order_, [](const walk::FileRecord* record) { return record->key(); });
    // Of the paths listed more than once, the one whose second line comes
    // first in the file: where a reader going down it meets the problem.
    std::optional<ManifestProblem> twice;
    for (std::size_t start = 0; start < order_.size();) {
        std::size_t end = start + 1;
        while (end < order_.size() && order_[end]->key() == order_[start]->key()) {
            ++end;
        }
        if (end - start > 1) {
            std::vector<std::uint64_t> lines;
            for (std::size_t index = start; index < end; ++index) {
                lines.push_back(order_[index]->tag);
            }
            std::ranges::partial_sort(lines, lines.begin() + 2);
            if (!twice || lines[1] < twice->line) {
                twice = ManifestProblem{.fault = ManifestFault::ListedTwice,
                                        .line = lines[1],
                                        .path = std::string(order_[start]->key()),
                                        .first_line = lines[0]};
            }
        }
        start = end;
    }
    return twice;
}

}  // namespace driftmoor::tree
