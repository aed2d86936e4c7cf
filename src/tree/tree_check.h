// A check of a tree against its manifest, and a comparison of two
// manifests: every path of either side with its state, in the order of the
// paths' bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "digest/file_digest.h"
#include "platform/cancellation.h"
#include "platform/os_error.h"
#include "tree/listed_manifest.h"
#include "tree/text_arena.h"
#include "tree/tree_account.h"

namespace driftmoor::tree {

// What a check says of one path.
enum class PathState : std::uint8_t {
    Ok,          // listed, there, the same digest
    Changed,     // listed, there, another digest
    Missing,     // listed, not there, or no regular file any more
    Added,       // there, not listed
    Unreadable,  // there, listed or not, but it could not be read
    PassedOver,  // there, not listed, not read by design
};
inline constexpr std::size_t PATH_STATE_COUNT = static_cast<std::size_t>(PathState::PassedOver) + 1;

// One path and its state. A check keeps one per path of a tree of
// millions: its members are laid out to leave no room unused.
struct Finding {
    std::string_view path;                           // as the report names it
    const digest::Sha256Digest* expected = nullptr;  // the manifest's (OLD's), where listed
    const digest::Sha256Digest* actual = nullptr;    // the digest found (NEW's), where read
    // Unreadable and passed over: the error that says why, if any.
    const platform::OsError* error = nullptr;
    // Unreadable for want of a directory above it that could not be listed:
    // that directory's path (and `error` is its error); none otherwise.
    const std::string_view* below = nullptr;
    PathState state;
    walk::Omission omission{};  // unreadable and passed over: why
};

// How the listed files and the tree line up.
struct CheckPlan {
    // A relative path of the manifest is checked at `checked_start` followed
    // by what comes after `listed_start` in it (the tree that stands for the
    // one the manifest was written from); an absolute path, at that path.
    std::string listed_start;
    std::string checked_start;
    // The tree walked for the files the manifest does not list, and what its
    // walk puts before each path found (that is replaced by `checked_start`);
    // none to read the listed files alone.
    std::optional<std::string> tree;
    std::string walked_start;
    AccountOptions walk;
};

// The outcome of a check or a comparison. Owns everything its findings
// point at; not copied, not moved once made (the findings point into it).
class Findings {
  public:
    Findings() = default;
    Findings(const Findings&) = delete;
    Findings& operator=(const Findings&) = delete;

    // Every path of either side, in the order of the paths' bytes.
    std::span<const Finding> all() const noexcept { return findings_; }
    // The entries that could not be read, in path order, but for those
    // below a directory that could not be listed: what a check names on
    // standard error as well as in its report.
    std::span<const Finding* const> failures() const noexcept { return failures_; }

  private:
    friend class CheckRun;
    friend platform::OsResult<std::unique_ptr<Findings>> check_tree(ListedManifest,
                                                                    const CheckPlan&,
                                                                    platform::Cancellation&,
                                                                    std::optional<TreeAccount>);
    friend std::unique_ptr<Findings> compare_manifests(ListedManifest, ListedManifest);

    ListedManifest listed_;
    ListedManifest other_;
    TreeAccount account_;
    TextArena paths_;
    std::deque<digest::Sha256Digest> digests_;
    std::deque<platform::OsError> errors_;
    std::vector<Finding> findings_;
    std::vector<const Finding*> failures_;
    // The directories the walk could not list, by the path a check names
    // them by: what the findings below them point at.
    std::unordered_map<std::string_view, const LeftOutEntry*> unlistable_;
};

// Checks the tree the plan names against the manifest: the walk of the tree
// gives what it holds; a listed file the walk did not read (one past a link
// out of the tree, or the tree not walked at all) is read by its own name,
// wherever that leads. Fails only as a walk fails: descriptors or memory run
// out, the cancellation ends it, or the tree cannot be examined at all.
//
// `walked`: the account of the plan's tree, made elsewhere as account_tree
// makes it with the plan's options (its parts walked on the machines of a
// cluster, say), taken in place of a walk here.
platform::OsResult<std::unique_ptr<Findings>> check_tree(
    ListedManifest listed, const CheckPlan& plan, platform::Cancellation& cancellation,
    std::optional<TreeAccount> walked = std::nullopt);

// Two sealed manifests compared path by path, as written: `old_one` takes
// the manifest's place, `new_one` the tree's.
std::unique_ptr<Findings> compare_manifests(ListedManifest old_one, ListedManifest new_one);

}  // namespace driftmoor::tree
