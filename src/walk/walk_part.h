// One part of a tree whose walk is shared out between processes (the
// machines of a cluster): a directory that another process's walk handed
// back (WalkPolicy::hand_back), taken up again by its name.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cancellation.h"
#include "platform/metadata.h"
#include "platform/os_error.h"
#include "walk/directory_walk.h"

namespace driftmoor::walk {

struct WalkPart {
    // The directory it was listed in, as the walk that met it spelled its
    // path, and its name there.
    std::string directory_path;
    std::string name;
    // Reached through a link whose target the bounds judge.
    bool through_link = false;
    // The directories above it, nearest first (the one it was listed in
    // first), as query_shared_identity identifies them on any machine.
    std::vector<platform::FileIdentity> above;
    // The depth of the directory it was listed in, below the top.
    std::size_t depth = 0;
};

// Walks the part as the walk of the whole tree at `top_path` walks it: the
// directory is entered as the walk would have entered it there (passed over
// as a loop if it is one of those above it, as out of bounds if the bounds
// of the tree at `top_path` say so, as vanished if it is gone), and walked
// with one worker per policy, as walk_directory_with_workers walks (one
// policy: on the calling thread). Every path starts with the part's
// directory_path.
platform::OsResult<void> walk_part_with_workers(std::string_view top_path, const WalkPart& part,
                                                std::span<WalkPolicy* const> policies,
                                                platform::Cancellation& cancellation);

}  // namespace driftmoor::walk
