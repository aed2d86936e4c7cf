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

// Why an entry whose type could not be found out is left out: a link that
// leads nowhere, an entry gone since it was listed, or its own failure.
Omission unknown_type_omission(const DirectoryEntry& entry, const OsError& error) {
    if (platform::error_kind(error) != platform::ErrorKind::EntityNotFound) {
        return Omission::UnknownEntry;
    }
    return platform::entry_is_link(entry) ? Omission::DanglingLink : Omission::Vanished;
}

// Why a file that the walk could not open is left out.
Omission unopened_file_omission(const OsError& error) {
    if (platform::error_kind(error) == platform::ErrorKind::EntityNotFound ||
        platform::refuses_non_regular_file(error)) {
        return Omission::Vanished;
    }
    return Omission::UnreadableFile;
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

class TreeWalk {
  public:
    TreeWalk(std::string_view directory_path, WalkPolicy& policy, Cancellation& cancellation)
        : path_(directory_path),
          policy_(policy),
          cancellation_(cancellation),
          window_(platform::read_ahead_window()) {}

    OsResult<void> run() {
        auto root = platform::open_listing(path_);
        if (!root) {
            std::string root_path = path_;
            return leave_out(root_path, Omission::UnlistableDirectory, std::move(root).error());
        }
        enter(std::move(*root));
        // Each turn takes one entry of the deepest open directory, so the
        // native stack stays flat however deep the tree is. On an early
        // return every listing still open closes as `levels_` goes.
        while (!levels_.empty()) {
            if (auto go_on = cancellation_.check(); !go_on) {
                return go_on;
            }
            auto upcoming = next_upcoming();
            if (!upcoming) {
                // The directory could not be listed to its end: what it
                // delivered was walked, the rest of it is left out.
                if (auto go_on = leave_out(path_, Omission::UnlistableDirectory,
                                           std::move(upcoming).error());
                    !go_on) {
                    return go_on;
                }
                leave();
                continue;
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
            const Omission omission = unknown_type_omission(entry, type.error());
            return leave_out(entry, omission, std::move(type).error());
        }
        if (*type == FileType::Directory) {
            return descend(entry);
        }
        if (*type != FileType::RegularFile) {
            return leave_out(entry, Omission::SpecialFile);
        }
        std::string path = platform::join_path(path_, entry.name);
        if (policy_.unicode_paths_only && !platform::path_as_unicode(path)) {
            return leave_out(path, Omission::NotUnicode);
        }
        OsResult<FileHandle> file =
            upcoming.opened ? std::move(*upcoming.opened) : platform::open_entry_for_reading(entry);
        if (!file) {
            const Omission omission = unopened_file_omission(file.error());
            return leave_out(path, omission, std::move(file).error());
        }
        if (is_excluded(*file)) {
            return leave_out(path, Omission::Excluded);
        }
        auto digest = digest::digest_open_file(*file, read_buffer_, cancellation_);
        platform::close_file(std::move(*file));
        if (!digest) {
            return leave_out(path, Omission::UnreadableFile, std::move(digest).error());
        }
        policy_.add_file(path, *digest);
        return {};
    }

    OsResult<void> descend(const DirectoryEntry& entry) {
        auto below = platform::open_entry_listing(entry);
        if (!below) {
            // Gone, or no longer a directory, when it was opened: nothing was
            // below it at that moment, whatever stands under its name by now
            // (a directory renamed away and another renamed in). Any other
            // failure is the directory's own.
            const Omission omission =
                vanished(below.error()) ? Omission::Vanished : Omission::UnlistableDirectory;
            return leave_out(entry, omission, std::move(below).error());
        }
        // A directory the platform cannot identify is never taken for one
        // on the way down.
        if (const auto identity = below->identity(); identity && on_descent_.contains(*identity)) {
            return leave_out(entry, Omission::Loop);
        }
        platform::append_to_path(path_, entry.name);
        enter(std::move(*below));
        return {};
    }

    bool is_excluded(const FileHandle& file) const {
        if (!policy_.excluded_file) {
            return false;
        }
        const auto metadata = platform::query_open_file_metadata(file);
        return metadata && metadata->identity == policy_.excluded_file;
    }

    OsResult<void> leave_out(const DirectoryEntry& entry, Omission omission,
                             std::optional<OsError> error = std::nullopt) {
        return leave_out(platform::join_path(path_, entry.name), omission, std::move(error));
    }

    // Leaving an entry out is the policy's to judge when the entry is at
    // fault, never when the process ran out of something or the work was
    // interrupted: then the whole walk fails.
    OsResult<void> leave_out(std::string_view path, Omission omission,
                             std::optional<OsError> error = std::nullopt) {
        if (error && ends_every_walk(*error)) {
            return std::unexpected(std::move(*error));
        }
        return policy_.leave_out({path, omission, std::move(error)});
    }

    std::string path_;  // the text of the directory being listed
    WalkPolicy& policy_;
    Cancellation& cancellation_;
    // Every file of the walk is read through it.
    digest::ReadBuffer read_buffer_;
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

bool ends_every_walk(const OsError& error) noexcept {
    return platform::exhausts_resources(error) ||
           platform::error_kind(error) == platform::ErrorKind::OperationInterrupted;
}

OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                              Cancellation& cancellation) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    return TreeWalk(directory_path, policy, cancellation).run();
}

}  // namespace driftmoor::manifest
