#include "manifest/directory_walk.h"

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "digest/file_digest.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/path_text.h"

namespace driftmoor::manifest {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryListing;
using platform::FileIdentity;
using platform::FileType;
using platform::OsError;
using platform::OsResult;

struct IdentityHash {
    std::size_t operator()(const FileIdentity& identity) const noexcept {
        return std::hash<std::uint64_t>{}(identity.inode ^ (identity.device * 0x9e3779b97f4a7c15u));
    }
};

// One directory on the way down: its open listing, and the length of the
// walk's path text while that directory is the one being listed.
struct Level {
    DirectoryListing listing;
    std::size_t path_length;
};

// What the entry is once links are followed. The listing's own record
// answers for plain directories, files and special files; links and
// unrecorded types cost a metadata query.
OsResult<FileType> resolved_type(const DirectoryListing& listing, const DirectoryEntry& entry) {
    using platform::RecordedType;
    switch (entry.recorded_type) {
        case RecordedType::Directory:
            return FileType::Directory;
        case RecordedType::RegularFile:
            return FileType::RegularFile;
        case RecordedType::Special:
            return FileType::Other;
        case RecordedType::Unresolved:
            break;
    }
    auto metadata = platform::query_entry_metadata(listing, entry);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return metadata->type;
}

// The digest of an entry that is a regular file, or the error that kept it
// from being read.
OsResult<digest::FileDigest> digest_entry(const DirectoryListing& listing,
                                          const DirectoryEntry& entry) {
    auto file = platform::open_entry_for_reading(listing, entry);
    if (!file) {
        return std::unexpected(std::move(file).error());
    }
    auto digest = digest::digest_open_file(*file);
    platform::close_file(std::move(*file));
    return digest;
}

class TreeWalk {
  public:
    TreeWalk(std::string_view directory_path, ManifestTable& table)
        : path_(directory_path), table_(table) {}

    OsResult<void> run(DirectoryListing root) {
        enter(std::move(root));
        // Each turn takes one entry of the deepest open directory, so the
        // native stack stays flat however deep the tree is. On an early
        // return every listing still open closes as `levels_` goes.
        while (!levels_.empty()) {
            auto entry = platform::next_entry(levels_.back().listing);
            if (!entry) {
                return std::unexpected(std::move(entry).error());
            }
            if (!*entry) {
                leave();
                continue;
            }
            if (auto visited = visit(**entry); !visited) {
                return visited;
            }
        }
        return {};
    }

  private:
    void enter(DirectoryListing listing) {
        if (const auto identity = listing.identity()) {
            on_descent_.insert(*identity);
        }
        levels_.push_back({std::move(listing), path_.size()});
    }

    void leave() {
        Level& level = levels_.back();
        if (const auto identity = level.listing.identity()) {
            on_descent_.erase(*identity);
        }
        platform::close_listing(std::move(level.listing));
        levels_.pop_back();
        if (!levels_.empty()) {
            path_.resize(levels_.back().path_length);
        }
    }

    OsResult<void> visit(const DirectoryEntry& entry) {
        const DirectoryListing& listing = levels_.back().listing;
        auto type = resolved_type(listing, entry);
        if (!type) {
            // Not even its metadata: whatever kept it from us keeps the
            // open from succeeding too, so the entry is left out.
            return leave_out(std::move(type).error());
        }
        if (*type == FileType::Directory) {
            return descend(entry);
        }
        if (*type != FileType::RegularFile) {
            return {};
        }
        std::string key = platform::join_path(path_, entry.name);
        if (!platform::path_as_unicode(key)) {
            return {};
        }
        auto digest = digest_entry(listing, entry);
        if (!digest) {
            return leave_out(std::move(digest).error());
        }
        table_.insert(std::move(key), *digest);
        return {};
    }

    OsResult<void> descend(const DirectoryEntry& entry) {
        const DirectoryListing& listing = levels_.back().listing;
        auto below = platform::open_entry_listing(listing, entry);
        if (!below) {
            if (platform::exhausts_resources(below.error())) {
                return std::unexpected(std::move(below).error());
            }
            // Gone, or no longer a directory, since it was listed: there is
            // nothing below it to add. Still a directory: the failure is real.
            auto again = platform::query_entry_metadata(listing, entry);
            if (!again) {
                return leave_out(std::move(again).error());
            }
            if (again->type != FileType::Directory) {
                return {};
            }
            return std::unexpected(std::move(below).error());
        }
        // A directory the platform cannot identify is never taken for one
        // on the way down.
        if (const auto identity = below->identity(); identity && on_descent_.contains(*identity)) {
            return {};
        }
        platform::append_to_path(path_, entry.name);
        enter(std::move(*below));
        return {};
    }

    // Leaving a file out is right when the file is at fault, never when the
    // process ran out of something: then the whole walk fails.
    static OsResult<void> leave_out(OsError error) {
        if (platform::exhausts_resources(error)) {
            return std::unexpected(std::move(error));
        }
        return {};
    }

    std::string path_;  // the text of the directory being listed
    ManifestTable& table_;
    std::vector<Level> levels_;
    std::unordered_set<FileIdentity, IdentityHash> on_descent_;
};

}  // namespace

OsResult<void> walk_directory(std::string_view directory_path, ManifestTable& table) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    auto root = platform::open_listing(directory_path);
    if (!root) {
        return std::unexpected(std::move(root).error());
    }
    return TreeWalk(directory_path, table).run(std::move(*root));
}

}  // namespace driftmoor::manifest
