#include "walk/directory_walk.h"

#include "digest/file_digest.h"
#include "platform/metadata.h"
#include "platform/read_ahead.h"
#include "walk/read_ahead_budget.h"
#include "walk/tree_scope.h"
#include "walk/tree_walk.h"

namespace driftmoor::walk {

using platform::OsError;
using platform::OsResult;

bool WalkPolicy::takes_unread(std::string_view, const platform::FileStatus&) {
    return false;
}

bool ends_every_walk(const OsError& error) noexcept {
    return platform::exhausts_resources(error) ||
           platform::error_kind(error) == platform::ErrorKind::OperationInterrupted;
}

OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                              platform::Cancellation& cancellation) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    ReadAheadBudget budget(platform::read_ahead_window());
    return walk_directory(directory_path, policy, cancellation, budget);
}

OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                              platform::Cancellation& cancellation, ReadAheadBudget& budget) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    digest::ReadBuffer read_buffer;
    const TreeScope scope = scope_of(directory_path, policy.bounds);
    return TreeWalk(directory_path, policy, scope, cancellation, read_buffer, budget)
        .run_from_top();
}

TreeScope scope_of(std::string_view directory_path, const WalkBounds& bounds) {
    TreeScope scope{.bounds = bounds, .location = std::nullopt, .device = std::nullopt};
    if (bounds.links != LinkRule::Inside && !bounds.one_file_system) {
        return scope;
    }
    auto top = platform::open_listing(directory_path);
    if (!top) {
        return scope;  // the walk meets the failure itself, at its first step
    }
    scope.location = platform::listing_location(*top);
    if (const auto identity = top->identity()) {
        scope.device = identity->device;
    }
    platform::close_listing(std::move(*top));
    return scope;
}

}  // namespace driftmoor::walk
