// Listing a directory entry by entry, and opening what a listing found
// relative to that listing: where the platform can, relative to the open
// directory, so no path is resolved again from its start and depth is not
// limited by the platform's path length.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/metadata.h"
#include "platform/os_error.h"

namespace driftmoor::platform {

// The kind of an entry as the listing recorded it, before following links.
// Only the plain cases spare a metadata query.
enum class RecordedType : std::uint8_t {
    Directory,
    RegularFile,
    // A device, pipe or socket: not a link, so following links changes nothing.
    Special,
    // A link, or a file system that records no type: ask the metadata.
    Unresolved,
};

// What the entries of a listing need of its directory to be examined and
// opened: the open directory, or its path where the platform opens nothing
// relative to a directory. Each implementation defines it beside itself.
// Shared by the listing and every entry it delivered, and released with the
// last of them, so that no order of reading ahead, shortage and end of the
// listing can leave an entry pointing at what is gone.
struct ListedDirectory;
using SharedDirectory = std::shared_ptr<const ListedDirectory>;

// One entry of a listing. A value: it stays usable after its listing has
// moved on, ended or closed, since it holds a share of its directory.
struct DirectoryEntry {
    std::string name;  // the name as path text, without loss
    RecordedType recorded_type = RecordedType::Unresolved;
    SharedDirectory directory;  // the directory it was listed in; shared
};

// An open listing of one directory. Move-only; the owner closes it exactly
// once, by close_listing or, failing that, when the listing is destroyed. A
// listing that reached its end or failed has already released what it held.
class DirectoryListing {
  public:
    // What an open listing holds on this platform: its share of the
    // directory and the records fetched but not yet delivered. Each
    // implementation defines it beside itself; nothing outside the
    // implementation looks inside.
    struct State;
    // Destroys a state, releasing what it holds; defined with the state.
    struct StateDeleter {
        void operator()(State* state) const noexcept;
    };
    using OwnedState = std::unique_ptr<State, StateDeleter>;

    // Takes ownership of `state`, an open listing of the directory that
    // `identity` names (none when the platform could not tell which it is).
    DirectoryListing(OwnedState state, std::optional<FileIdentity> identity) noexcept
        : state_(std::move(state)), identity_(identity) {}

    // The directory being listed, as it was when the listing was opened,
    // identified as query_shared_identity identifies it.
    std::optional<FileIdentity> identity() const noexcept { return identity_; }
    // False once the listing has ended, failed or been closed.
    bool is_open() const noexcept { return state_ != nullptr; }
    // The open state, for the implementation; null once released.
    State* state() const noexcept { return state_.get(); }
    // Releases what the listing holds; it then reads as ended.
    void release() noexcept { state_.reset(); }

  private:
    OwnedState state_;  // null once released
    std::optional<FileIdentity> identity_;
};

// Opens the listing of the directory at `path_text`. The empty path fails as
// missing without asking the platform. A directory with no entries gives a
// listing that ends at once.
OsResult<DirectoryListing> open_listing(std::string_view path_text);

// The next entry; none at the end. "." and ".." are never delivered, and no
// order is promised. A directory removed while it is listed simply ends:
// nothing more is in it. After the end or a failure the listing has released
// what it held, and every later call answers none.
OsResult<std::optional<DirectoryEntry>> next_entry(DirectoryListing& listing);

// Releases the listing if it still holds anything; nothing is reported.
inline void close_listing(DirectoryListing&& listing) noexcept {
    listing.release();
}

// The operations below take an entry that a listing delivered, whether or not
// that listing is still open.

// The metadata of an entry at the end of any chain of links, asked relative
// to its directory.
OsResult<FileMetadata> query_entry_metadata(const DirectoryEntry& entry);

// The status of what an entry names at the end of any chain of links,
// asked relative to its directory, without opening it.
OsResult<FileStatus> query_entry_status(const DirectoryEntry& entry);

// Opens the listing of an entry that is a directory, following links. Fails
// if the entry is not a directory by the time it is opened.
OsResult<DirectoryListing> open_entry_listing(const DirectoryEntry& entry);

// Opens an entry for reading, following links, if and only if it is a regular
// file when opened; anything else fails and is never read. Neither the open
// nor any read of the handle waits for a writer, whatever the entry has been
// swapped for meanwhile: a read that would wait fails instead. Where the
// platform allows, nothing but a regular file is even opened, though others
// swap a pipe or a device in under the name meanwhile.
OsResult<FileHandle> open_entry_for_reading(const DirectoryEntry& entry);

// Opens the file at `path_text` for reading, following links, with the same
// care as open_entry_for_reading: only a regular file is opened, and no read
// of the handle waits for a writer. For a path a caller names, as a
// manifest names its files.
OsResult<FileHandle> open_regular_file(std::string_view path_text);

// Where the directory being listed lies: its absolute path with every link
// resolved, found from the open directory itself, not from a name that may
// lead elsewhere by now; none where the platform cannot tell.
std::optional<std::string> listing_location(const DirectoryListing& listing);

// True when the entry itself is a link (a symbolic link or a junction),
// wherever it leads or fails to lead; false when it is not, or when that
// cannot be found out.
bool entry_is_link(const DirectoryEntry& entry);

// The entry `name` of the directory at `directory_path`, its type not
// recorded, as if a listing of that directory had delivered it: how a
// directory that another process's walk found is taken up by name. Fails
// when the directory cannot be reached; the entry itself is not looked at.
OsResult<DirectoryEntry> entry_in_directory(std::string_view directory_path, std::string name);

// How open_entry_for_reading refuses an entry that is not a regular file by
// the time it is opened, on every platform.
OsError not_a_regular_file() noexcept;
bool refuses_non_regular_file(const OsError& error) noexcept;

}  // namespace driftmoor::platform
