#include "walk/tree_walk.h"

#include <iterator>
#include <utility>

#include "platform/clock.h"
#include "platform/path_text.h"
#include "platform/read_ahead.h"

namespace driftmoor::walk {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryListing;
using platform::FileHandle;
using platform::FileType;
using platform::OsError;
using platform::OsResult;

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

// Whether reading ahead may go past the entry: only files and special files,
// whose turns never descend. Anything that may lead into a directory ends
// the run, so no descriptor opened ahead is held while the walk is below.
bool read_ahead_passes(const DirectoryEntry& entry) noexcept {
    return entry.recorded_type == platform::RecordedType::RegularFile ||
           entry.recorded_type == platform::RecordedType::Special;
}

}  // namespace

OsResult<void> TreeWalk::run_from_top() {
    auto root = platform::open_listing(path_);
    if (!root) {
        std::string root_path = path_;
        return leave_out(root_path, Omission::UnlistableDirectory, std::move(root).error());
    }
    enter(std::move(*root));
    return run();
}

OsResult<void> TreeWalk::run_task(WalkTask& task) {
    if (task.kind == WalkTask::Kind::Files) {
        // Taken as if read ahead here, so that half of what is left can
        // be handed on in turn.
        upcoming_.assign(std::make_move_iterator(task.files.begin()),
                         std::make_move_iterator(task.files.end()));
        while (!upcoming_.empty()) {
            if (auto go_on = cancellation_.check(); !go_on) {
                return go_on;
            }
            Upcoming file = std::move(upcoming_.front());
            upcoming_.pop_front();
            if (auto visited = visit(file); !visited) {
                return visited;
            }
        }
        return {};
    }
    for (const Ancestor* above = task.ancestry.get(); above != nullptr;
         above = above->above.get()) {
        on_descent_.insert(above->identity);
    }
    if (task.kind == WalkTask::Kind::Listing) {
        levels_.push_back(
            {std::move(*task.listing), path_.size(), std::move(task.ancestry), task.depth});
        return run();
    }
    base_ancestry_ = std::move(task.ancestry);
    base_depth_ = task.depth;
    if (auto descended = descend(task.entry, task.through_link); !descended) {
        return descended;
    }
    return run();
}

OsResult<void> TreeWalk::run() {
    // Each turn takes one entry of the deepest open directory, so the
    // native stack stays flat however deep the tree is. On an early
    // return every listing still open closes as `levels_` goes.
    while (!levels_.empty()) {
        if (auto go_on = cancellation_.check(); !go_on) {
            return go_on;
        }
        hand_over_oldest_listing();
        auto upcoming = next_upcoming();
        if (!upcoming) {
            // The directory could not be listed to its end: what it
            // delivered was walked, the rest of it is left out.
            if (auto go_on =
                    leave_out(path_, Omission::UnlistableDirectory, std::move(upcoming).error());
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

OsResult<std::optional<Upcoming>> TreeWalk::next_upcoming() {
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
    return Upcoming{.entry = std::move(**entry)};
}

void TreeWalk::read_ahead() {
    while (upcoming_.size() < budget_.capacity() && !listing_failure_ &&
           (upcoming_.empty() || read_ahead_passes(upcoming_.back().entry))) {
        if (!take_one_ahead()) {
            return;
        }
        Upcoming& next = upcoming_.back();
        if (next.entry.recorded_type != platform::RecordedType::RegularFile ||
            policy_.judges_files || !budget_.try_take()) {
            continue;
        }
        BudgetPlace place(budget_);
        auto file = platform::open_entry_for_reading(next.entry);
        if (file) {
            platform::start_read_ahead(*file);
            next.opened = std::move(file);
            next.place = std::move(place);
        } else if (platform::exhausts_resources(file.error())) {
            // Ahead of its turn the walk must not lose a file to a
            // shortage it caused itself: hold fewer files ahead, and
            // open this one again at its turn, which alone may fail.
            place.give_back();
            budget_.shrink();
        } else {
            next.opened = std::move(file);
        }
    }
}

bool TreeWalk::take_one_ahead() {
    auto entry = platform::next_entry(levels_.back().listing);
    if (!entry) {
        listing_failure_ = std::move(entry).error();
        return false;
    }
    if (!*entry) {
        return false;
    }
    upcoming_.push_back({.entry = std::move(**entry)});
    return true;
}

void TreeWalk::enter(DirectoryListing listing) {
    const auto identity = listing.identity();
    if (identity) {
        on_descent_.insert(*identity);
    }
    Ancestry ancestry = levels_.empty() ? base_ancestry_ : levels_.back().ancestry;
    const std::size_t depth = (levels_.empty() ? base_depth_ : levels_.back().depth) + 1;
    if ((pool_ != nullptr || policy_.hands_back) && identity && depth <= DEEPEST_HANDED_OVER) {
        ancestry = std::make_shared<const Ancestor>(*identity, std::move(ancestry));
    }
    levels_.push_back({std::move(listing), path_.size(), std::move(ancestry), depth});
}

void TreeWalk::leave() {
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

bool TreeWalk::judged_link(const DirectoryEntry& entry) const {
    // Only an entry the listing could not type may be a link.
    return scope_.bounds.links != LinkRule::All &&
           entry.recorded_type == platform::RecordedType::Unresolved &&
           platform::entry_is_link(entry);
}

OsResult<void> TreeWalk::visit(Upcoming& upcoming) {
    const DirectoryEntry& entry = upcoming.entry;
    if (!upcoming.resolved_type) {
        upcoming.through_link = judged_link(entry);
        if (upcoming.through_link && scope_.bounds.links == LinkRule::None) {
            return leave_out(entry, Omission::LinkNotFollowed);
        }
    }
    auto type =
        upcoming.resolved_type ? OsResult<FileType>(*upcoming.resolved_type) : resolved_type(entry);
    if (!type) {
        const Omission omission = unknown_type_omission(entry, type.error());
        return leave_out(entry, omission, std::move(type).error());
    }
    if (*type == FileType::Directory) {
        if (should_hand_over_directory()) {
            const Level& level = levels_.back();
            pool_->give({.kind = WalkTask::Kind::Directory,
                         .directory_path = path_,
                         .entry = entry,
                         .through_link = upcoming.through_link,
                         .ancestry = level.ancestry,
                         .depth = level.depth});
            return {};
        }
        if (policy_.hands_back && levels_.back().depth < DEEPEST_HANDED_OVER &&
            policy_.hand_back({.directory_path = path_,
                               .name = entry.name,
                               .through_link = upcoming.through_link,
                               .above = levels_.back().ancestry.get(),
                               .depth = levels_.back().depth})) {
            return {};
        }
        return descend(entry, upcoming.through_link);
    }
    if (*type != FileType::RegularFile) {
        return leave_out(entry, Omission::SpecialFile);
    }
    if (policy_.unicode_paths_only &&
        !platform::path_as_unicode(platform::join_path(path_, entry.name))) {
        return leave_out(entry, Omission::NotUnicode);
    }
    if (policy_.judges_files && !upcoming.through_link && !upcoming.resolved_type) {
        // A status that cannot be read says nothing: the read that follows
        // meets the failure itself.
        if (const auto status = platform::query_entry_status(entry);
            status && policy_.takes_unread(platform::join_path(path_, entry.name), *status)) {
            return {};
        }
    }
    // Only while this walk keeps work of its own: the last file of a
    // task, handed on, would leave this worker idle to take it back, and
    // idle workers would pass it round without end.
    if (pool_ != nullptr && pool_->wants_work() && (!upcoming_.empty() || !levels_.empty())) {
        // Handed over as the regular file it was found to be: asked
        // again, a link could by then lead to a directory, which a list
        // of files has no place to walk.
        upcoming.resolved_type = FileType::RegularFile;
        hand_over_files(std::move(upcoming));
        return {};
    }
    upcoming.place.give_back();
    return read_file(entry, std::move(upcoming.opened), upcoming.through_link);
}

void TreeWalk::hand_over_oldest_listing() {
    if (pool_ == nullptr || levels_.size() < 2 || !pool_->wants_work() ||
        levels_.front().depth > DEEPEST_HANDED_OVER) {
        return;
    }
    // The directory stays in `on_descent_`: this walk is still below it.
    Level& oldest = levels_.front();
    pool_->give({.kind = WalkTask::Kind::Listing,
                 .directory_path = path_.substr(0, oldest.path_length),
                 .ancestry = std::move(oldest.ancestry),
                 .depth = oldest.depth,
                 .listing = std::move(oldest.listing)});
    levels_.erase(levels_.begin());
}

void TreeWalk::hand_over_files(Upcoming first) {
    std::vector<Upcoming> files;
    files.push_back(std::move(first));
    const std::size_t share = upcoming_.size() / 2;
    while (files.size() <= share && !upcoming_.empty() &&
           read_ahead_passes(upcoming_.front().entry)) {
        files.push_back(std::move(upcoming_.front()));
        upcoming_.pop_front();
    }
    pool_->give(
        {.kind = WalkTask::Kind::Files, .directory_path = path_, .files = std::move(files)});
}

bool TreeWalk::should_hand_over_directory() {
    if (pool_ == nullptr || !pool_->wants_work() || levels_.back().depth >= DEEPEST_HANDED_OVER) {
        return false;
    }
    return !upcoming_.empty() || listing_failure_ || take_one_ahead() ||
           listing_failure_.has_value();
}

OsResult<void> TreeWalk::read_file(const DirectoryEntry& entry,
                                   std::optional<OsResult<FileHandle>> opened, bool through_link) {
    std::string path = platform::join_path(path_, entry.name);
    OsResult<FileHandle> file =
        opened ? std::move(*opened) : platform::open_entry_for_reading(entry);
    if (!file) {
        const Omission omission = unopened_file_omission(file.error());
        return leave_out(path, omission, std::move(file).error());
    }
    // Judged by where the file that was opened lies, never by its name read
    // again: a link swapped meanwhile cannot lead the walk out.
    if (through_link && scope_.bounds.links == LinkRule::Inside &&
        !scope_.holds(platform::file_location(*file))) {
        return leave_out(path, Omission::LinkOutOfTree);
    }
    if (is_excluded(*file)) {
        return leave_out(path, Omission::Excluded);
    }
    std::optional<ReadStatus> status;
    if (policy_.records_reads) {
        // As the file was when its reading began: a change while it is
        // read shows in its times, and it is read again next time.
        const std::int64_t began_ns = platform::wall_clock_ns();
        if (auto asked = platform::query_open_file_status(*file)) {
            status = ReadStatus{*asked, began_ns};
        }
    }
    auto digest = digest::digest_open_file(*file, read_buffer_, cancellation_, policy_.bytes_done);
    platform::close_file(std::move(*file));
    if (!digest) {
        return leave_out(path, Omission::UnreadableFile, std::move(digest).error());
    }
    policy_.add_file(path, *digest, status ? &*status : nullptr);
    return {};
}

OsResult<void> TreeWalk::descend(const DirectoryEntry& entry, bool through_link) {
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
    const auto identity = below->identity();
    if (identity && on_descent_.contains(*identity)) {
        return leave_out(entry, Omission::Loop);
    }
    // Both judged on the listing that was opened, as it will be read.
    if (scope_.bounds.one_file_system && identity && scope_.device &&
        identity->device != *scope_.device) {
        return leave_out(entry, Omission::OtherFileSystem);
    }
    if (through_link && scope_.bounds.links == LinkRule::Inside &&
        !scope_.holds(platform::listing_location(*below))) {
        return leave_out(entry, Omission::LinkOutOfTree);
    }
    platform::append_to_path(path_, entry.name);
    enter(std::move(*below));
    return {};
}

bool TreeWalk::is_excluded(const FileHandle& file) const {
    if (!policy_.excluded_file) {
        return false;
    }
    const auto metadata = platform::query_open_file_metadata(file);
    return metadata && metadata->identity == policy_.excluded_file;
}

OsResult<void> TreeWalk::leave_out(const DirectoryEntry& entry, Omission omission,
                                   std::optional<OsError> error) {
    return leave_out(platform::join_path(path_, entry.name), omission, std::move(error));
}

OsResult<void> TreeWalk::leave_out(std::string_view path, Omission omission,
                                   std::optional<OsError> error) {
    if (error && ends_every_walk(*error)) {
        return std::unexpected(std::move(*error));
    }
    return policy_.leave_out({path, omission, std::move(error)});
}

}  // namespace driftmoor::walk
