// Listing a directory entry by entry, and opening what a listing found
// relative to the open directory, so no path is resolved again from its start
// and depth is not limited by the platform's path length.
#pragma once

#include <cstddef>
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

// One entry of a listing. A value: it stays valid after its listing has moved
// on, ended or closed.
struct DirectoryEntry {
    std::string name;  // the name as path text, without loss
    RecordedType recorded_type = RecordedType::Unresolved;
};

// An open listing of one directory. Move-only; the owner closes it exactly
// once, by close_listing or, failing that, when the listing is destroyed. A
// listing that reached its end or failed has already released what it held.
class DirectoryListing {
  public:
    // Takes ownership of an open directory (a descriptor here; a HANDLE fits
    // as well) that `identity` names.
    DirectoryListing(std::intptr_t native, FileIdentity identity) noexcept
        : native_(native), identity_(identity) {}
    DirectoryListing(DirectoryListing&& other) noexcept;
    DirectoryListing& operator=(DirectoryListing&& other) noexcept;
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;
    ~DirectoryListing();

    // The directory being listed, as it was when the listing was opened.
    FileIdentity identity() const noexcept { return identity_; }
    // False once the listing has ended, failed or been closed.
    bool is_open() const noexcept { return native_ != CLOSED; }

    static constexpr std::intptr_t CLOSED = -1;

  private:
    void release() noexcept;

    friend OsResult<DirectoryListing> open_entry_listing(const DirectoryListing&,
                                                         const DirectoryEntry&);
    friend OsResult<std::optional<DirectoryEntry>> next_entry(DirectoryListing&);
    friend OsResult<FileMetadata> query_entry_metadata(const DirectoryListing&,
                                                       const DirectoryEntry&);
    friend OsResult<FileHandle> open_entry_for_reading(const DirectoryListing&,
                                                       const DirectoryEntry&);
    friend void close_listing(DirectoryListing&&) noexcept;

    // The open directory (a descriptor here); CLOSED once released.
    std::intptr_t native_;
    FileIdentity identity_;
    // Records fetched from the platform and not yet delivered: `filled_`
    // bytes of `buffer_`, of which the first `position_` are delivered. Owned;
    // allocated at the first fetch, released with the directory.
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t buffer_size_ = 0;
    std::size_t filled_ = 0;
    std::size_t position_ = 0;
};

// Opens the listing of the directory at `path_text`. The empty path fails as
// missing without asking the platform. A directory with no entries gives a
// listing that ends at once.
OsResult<DirectoryListing> open_listing(std::string_view path_text);

// The next entry; none at the end. "." and ".." are never delivered, and no
// order is promised. After the end or a failure the listing has released
// what it held, and every later call answers none.
OsResult<std::optional<DirectoryEntry>> next_entry(DirectoryListing& listing);

// Releases the listing if it still holds anything; nothing is reported.
void close_listing(DirectoryListing&& listing) noexcept;

// The metadata of an entry at the end of any chain of links, asked relative
// to the open directory.
OsResult<FileMetadata> query_entry_metadata(const DirectoryListing& listing,
                                            const DirectoryEntry& entry);

// Opens the listing of an entry that is a directory, following links. Fails
// if the entry is not a directory by the time it is opened.
OsResult<DirectoryListing> open_entry_listing(const DirectoryListing& listing,
                                              const DirectoryEntry& entry);

// Opens an entry for reading, following links, if and only if it is a regular
// file when opened; anything else fails with an invalid-input error and is
// never read. Neither the open nor any read of the handle waits for a writer,
// whatever the entry has been swapped for meanwhile: a read that would wait
// fails instead.
OsResult<FileHandle> open_entry_for_reading(const DirectoryListing& listing,
                                            const DirectoryEntry& entry);

}  // namespace driftmoor::platform
