// What the workers of one walk hand each other: a directory to walk, files
// of one directory to read, or the rest of a directory's open listing, with
// where it sits in the tree.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "walk/read_ahead_budget.h"

namespace driftmoor::walk {

// The directories on the way down to a task, nearest first: what a link back
// up the tree is checked against, whichever worker takes the task. Shared
// between the tasks below one directory, never changed.
struct Ancestor {
    platform::FileIdentity identity;
    std::shared_ptr<const Ancestor> above;  // null at the top
};
using Ancestry = std::shared_ptr<const Ancestor>;

// An entry taken from a listing ahead of its turn, with the file opened
// ahead of it when the walk read ahead.
struct Upcoming {
    platform::DirectoryEntry entry;
    // The open, or its failure; empty when the file is opened at its turn.
    std::optional<platform::OsResult<platform::FileHandle>> opened{};
    // The budget's place that an open file holds until its turn.
    BudgetPlace place{};
    // What the entry was found to be, once a worker that handed it over
    // followed its link; the listing's record answers otherwise.
    std::optional<platform::FileType> resolved_type{};
    // Whether the entry is a link whose target the bounds judge.
    bool through_link = false;
};

// Work handed from one worker to whichever worker is free: a directory to
// walk, files of one directory to read, or the rest of a directory's open
// listing. Every member has a default, so that a task names only what its
// kind uses.
struct WalkTask {
    enum class Kind : unsigned char { Directory, Files, Listing };
    Kind kind;
    // Directory, Files: the text of the directory the entries were listed
    // in. Listing: the text of the directory being listed.
    std::string directory_path{};
    // Directory: the entry, and whether it was reached through a link whose
    // target the bounds judge.
    platform::DirectoryEntry entry{};
    bool through_link = false;
    // Directory: the directories above it, and how many there are. Listing:
    // the directory being listed and those above it, and its depth.
    Ancestry ancestry{};
    std::size_t depth = 0;
    // Files: regular and special files in listing order, with the opens made
    // ahead of their turns.
    std::vector<Upcoming> files{};
    // Listing: the listing, owned by the task until a worker takes it.
    std::optional<platform::DirectoryListing> listing{};
};

}  // namespace driftmoor::walk
