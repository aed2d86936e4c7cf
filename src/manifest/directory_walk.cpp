#include "manifest/directory_walk.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "digest/file_digest.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/path_text.h"
#include "platform/read_ahead.h"

namespace driftmoor::manifest {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryListing;
using platform::FileHandle;
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
OsResult<FileType> resolved_type(const DirectoryEntry& entry) {
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
    auto metadata = platform::query_entry_metadata(entry);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return metadata->type;
}

// Whether a directory's open failed because there was no directory under its
// name any more: removed, or replaced by something else, since it was listed.
bool vanished(const OsError& error) noexcept {
    const auto kind = platform::error_kind(error);
    return kind == platform::ErrorKind::EntityNotFound ||
           kind == platform::ErrorKind::NotADirectory;
}

// An entry taken from a listing, with the file opened ahead of its turn when
// the walk read ahead.
struct Upcoming {
    DirectoryEntry entry;
    // The open, or its failure; empty when the file is opened at its turn.
    std::optional<OsResult<FileHandle>> opened;
};

// Whether reading ahead may go past the entry: only files and special files,
// whose turns never descend. Anything that may lead into a directory ends
// the run, so no descriptor opened ahead is held while the walk is below.
bool read_ahead_passes(const DirectoryEntry& entry) noexcept {
    return entry.recorded_type == platform::RecordedType::RegularFile ||
           entry.recorded_type == platform::RecordedType::Special;
}

// The digest of an entry that is a regular file, or the error that kept it
// from being read.
OsResult<digest::FileDigest> digest_entry(Upcoming& upcoming, Cancellation& cancellation) {
    OsResult<FileHandle> file = upcoming.opened ? std::move(*upcoming.opened)
                                                : platform::open_entry_for_reading(upcoming.entry);
    if (!file) {
        return std::unexpected(std::move(file).error());
    }
    auto digest = digest::digest_open_file(*file, cancellation);
    platform::close_file(std::move(*file));
    return digest;
}

class TreeWalk {
  public:
    TreeWalk(std::string_view directory_path, ManifestTable& table, Cancellation& cancellation)
        : path_(directory_path),
          table_(table),
          cancellation_(cancellation),
          window_(platform::read_ahead_window()) {}

    OsResult<void> run(DirectoryListing root) {
        enter(std::move(root));
        // Each turn takes one entry of the deepest open directory, so the
        // native stack stays flat however deep the tree is. On an early
        // return every listing still open closes as `levels_` goes.
        while (!levels_.empty()) {
            if (auto go_on = cancellation_.check(); !go_on) {
                return go_on;
            }
            auto upcoming = next_upcoming();
            if (!upcoming) {
                return std::unexpected(std::move(upcoming).error());
            }
            if (!*upcoming) {
                leave();
                continue;
            }
            if (auto visited = visit(**upcoming); !visited) {
                return visited;
            }
        }
        return {};
    }

  private:
    // The next entry of the deepest open directory, in listing order, after
    // reading ahead of it; none at its end.
    OsResult<std::optional<Upcoming>> next_upcoming() {
        read_ahead();
        if (!upcoming_.empty()) {
            Upcoming next = std::move(upcoming_.front());
            upcoming_.pop_front();
            return next;
        }
        if (listing_failure_) {
            OsError failure = std::move(*listing_failure_);
            listing_failure_.reset();
            return std::unexpected(std::move(failure));
        }
        auto entry = platform::next_entry(levels_.back().listing);
        if (!entry) {
            return std::unexpected(std::move(entry).error());
        }
        if (!*entry) {
            return std::nullopt;
        }
        return Upcoming{std::move(**entry), std::nullopt};
    }

    // Takes entries of the deepest open directory ahead of their turn, up to
    // the window, opening each regular file and asking for its bytes. Stops
    // after an entry that may be a directory; a listing failure met here is
    // kept and reported at its turn, after the entries before it.
    void read_ahead() {
        DirectoryListing& listing = levels_.back().listing;
        while (upcoming_.size() < window_ && !listing_failure_ &&
               (upcoming_.empty() || read_ahead_passes(upcoming_.back().entry))) {
            auto entry = platform::next_entry(listing);
            if (!entry) {
                listing_failure_ = std::move(entry).error();
                return;
            }
            if (!*entry) {
                return;
            }
            Upcoming next{std::move(**entry), std::nullopt};
            if (next.entry.recorded_type == platform::RecordedType::RegularFile) {
                auto file = platform::open_entry_for_reading(next.entry);
                if (file) {
                    platform::start_read_ahead(*file);
                    next.opened = std::move(file);
                } else if (platform::exhausts_resources(file.error())) {
                    // Ahead of its turn the walk must not lose a file to a
                    // shortage it caused itself: hold fewer files ahead, and
                    // open this one again at its turn, which alone may fail.
                    window_ = upcoming_.size() / 2;
                } else {
                    next.opened = std::move(file);
                }
            }
            upcoming_.push_back(std::move(next));
        }
    }

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

    OsResult<void> visit(Upcoming& upcoming) {
        const DirectoryEntry& entry = upcoming.entry;
        auto type = resolved_type(entry);
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
        auto digest = digest_entry(upcoming, cancellation_);
        if (!digest) {
            return leave_out(std::move(digest).error());
        }
        table_.insert(std::move(key), *digest);
        return {};
    }

    OsResult<void> descend(const DirectoryEntry& entry) {
        auto below = platform::open_entry_listing(entry);
        if (!below) {
            // Gone, or no longer a directory, when it was opened: nothing was
            // below it at that moment, whatever stands under its name by now
            // (a directory renamed away and another renamed in). Any other
            // failure is the directory's own.
            if (vanished(below.error())) {
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
    // process ran out of something or the work was interrupted: then the
    // whole walk fails.
    static OsResult<void> leave_out(OsError error) {
        if (platform::exhausts_resources(error) ||
            platform::error_kind(error) == platform::ErrorKind::OperationInterrupted) {
            return std::unexpected(std::move(error));
        }
        return {};
    }

    std::string path_;  // the text of the directory being listed
    ManifestTable& table_;
    Cancellation& cancellation_;
    std::vector<Level> levels_;
    std::unordered_set<FileIdentity, IdentityHash> on_descent_;
    // Entries of the deepest directory taken ahead of their turn, in listing
    // order; their open files close with them. Empty whenever the walk
    // descends or leaves, since reading ahead stops at a directory.
    std::deque<Upcoming> upcoming_;
    std::optional<OsError> listing_failure_;
    // How many entries may be taken ahead; shrinks when descriptors run short.
    std::size_t window_;
};

}  // namespace

OsResult<void> walk_directory(std::string_view directory_path, ManifestTable& table,
                              Cancellation& cancellation) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    auto root = platform::open_listing(directory_path);
    if (!root) {
        return std::unexpected(std::move(root).error());
    }
    return TreeWalk(directory_path, table, cancellation).run(std::move(*root));
}

}  // namespace driftmoor::manifest
