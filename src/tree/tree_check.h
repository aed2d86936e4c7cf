// A check of a tree against its manifest, and a comparison of two
// manifests: every path of either side with its state, in the order of the
// paths' bytes.
//
// A check holds no record per path beside the manifest's own: the walk
// matches each file it finds with the manifest as it goes (no sorting of
// what it found, no second copy of a path), keeps what it finds of a
// listed file in a byte by the file's place, and keeps whole records only
// of what the manifest does not list; the findings are made one at a time
// as they are read.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "digest/file_digest.h"
#include "platform/cancellation.h"
#include "platform/os_error.h"
#include "tree/listed_manifest.h"
#include "tree/tree_account.h"
#include "tree/tree_part.h"
#include "tree/tree_state.h"
#include "walk/record_arena.h"

namespace driftmoor::tree {

// What a check says of one path.
enum class PathState : std::uint8_t {
    Ok,          // listed, there, the same digest
    Changed,     // listed, there, another digest
    Damaged,     // listed, there, another digest, though size and times say nothing happened
    Moved,       // listed, gone; found under another name, unlisted, with its digest
    Missing,     // listed, not there, or no regular file any more
    Added,       // there, not listed
    Unreadable,  // there, listed or not, but it could not be read
    PassedOver,  // there, not listed, not read by design
};
inline constexpr std::size_t PATH_STATE_COUNT = static_cast<std::size_t>(PathState::PassedOver) + 1;

// How a check came by what it says of a listed file, where it kept a state.
enum class Came : std::uint8_t {
    Unknown,   // no state was kept, or the file was not there to read
    Trusted,   // its status was what the state recorded: taken without reading it
    Read,      // read, its status having changed (or nothing being recorded)
    Scrubbed,  // read though it could have been trusted: its turn in the scrub
};

// One path and what was found of it.
struct Finding {
    std::string_view path;                           // as the report names it
    const digest::Sha256Digest* expected = nullptr;  // the manifest's (OLD's), where listed
    const digest::Sha256Digest* actual = nullptr;    // the digest found (NEW's), where read
    // Unreadable and passed over: the error that says why, if any.
    const platform::OsError* error = nullptr;
    // Unreadable for want of a directory above it that could not be listed:
    // that directory's path (and `error` is its error); none otherwise.
    const std::string_view* below = nullptr;
    std::string_view moved_to{};  // Moved: the path it was found under
    PathState state = PathState::Missing;
    walk::Omission omission{};  // unreadable and passed over: why
    Came came = Came::Unknown;
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
    // Where the check keeps a state: with N, the 1/N of the files recorded
    // whose last full read is oldest are read even where they could be
    // trusted; 0, none.
    std::size_t scrub_every = 0;
};

// One entry that could not be read, as the command names it on standard
// error.
struct Failure {
    std::string path;
    walk::Omission omission;
    const platform::OsError* error;  // the system's, where one says why
};

// What a check or a comparison found, made one finding at a time in the
// order of the paths' bytes. Owns everything its findings point at.
class Findings {
  public:
    virtual ~Findings() = default;
    Findings(const Findings&) = delete;
    Findings& operator=(const Findings&) = delete;

    // Where a reading of the findings has got to, and the text of the
    // paths it made (a path checked elsewhere than the manifest lists it
    // is made when asked for).
    struct Cursor {
        std::size_t listed = 0;
        std::size_t found = 0;
        std::size_t left_out = 0;
        std::string path{};
    };
    // The finding at `cursor`, which then moves past it; none at the end.
    // What the finding points at lives as long as this, but for its path,
    // which the cursor may hold until it moves again.
    virtual std::optional<Finding> next(Cursor& cursor) const = 0;

    // How many findings there are, and of them in each state.
    std::size_t size() const noexcept;
    std::uint64_t count(PathState state) const noexcept {
        return counts_[static_cast<std::size_t>(state)];
    }

    // The entries that could not be read, in path order, but for those
    // below a directory that could not be listed: what a check names on
    // standard error as well as in its report.
    virtual std::vector<Failure> failures() const = 0;

    // Where the check kept a state: the state as the check leaves it, and
    // how many listed files it trusted, read and scrubbed, and when the
    // file read longest ago was read (0: none was).
    struct StateCounts {
        std::uint64_t trusted = 0;
        std::uint64_t read = 0;
        std::uint64_t scrubbed = 0;
        std::int64_t oldest_read_ns = 0;
    };
    virtual TreeState* state() noexcept { return nullptr; }
    virtual std::optional<StateCounts> state_counts() const { return std::nullopt; }

  protected:
    Findings() = default;
    std::array<std::uint64_t, PATH_STATE_COUNT> counts_{};
};

// Checks the tree the plan names against the manifest: the walk of the tree
// gives what it holds; a listed file the walk did not read (one past a link
// out of the tree, or the tree not walked at all) is read by its own name,
// wherever that leads. A missing listed file and an added one with the same
// digest, each the only one with it on its side, are one file moved.
//
// With a state (as many records as the manifest lists files), a listed file
// whose status is as recorded (see trustworthy) is taken without being
// opened; a file read whose digest differs from the manifest's though its
// size and times are as recorded, when it last matched, is damaged; every
// file read is recorded anew. Fails only as a walk fails: descriptors or
// memory run out, the cancellation ends it, or the tree cannot be examined
// at all.
platform::OsResult<std::unique_ptr<Findings>> check_tree(ListedManifest listed,
                                                         const CheckPlan& plan,
                                                         std::optional<TreeState> state,
                                                         platform::Cancellation& cancellation);

// A check made ready and not yet run: its manifest taken, its state
// settled and the files whose turn in the scrub has come chosen. Its tree
// may be walked elsewhere (its parts on the machines of a cluster), told
// what it may take unread there.
class PendingCheck {
  public:
    virtual ~PendingCheck() = default;
    // What the check may take unread where its tree is walked elsewhere;
    // empty without a state.
    virtual TrustTable trust_table() const = 0;
    // Runs it, as check_tree does; once. `gathered`: the account of the
    // plan's tree made elsewhere, as account_tree makes it with the plan's
    // options and a judge of the trust table (its reads recorded), played
    // to the check in place of its walk here.
    virtual platform::OsResult<std::unique_ptr<Findings>> run(
        platform::Cancellation& cancellation, std::optional<TreeAccount> gathered) = 0;

  protected:
    PendingCheck() = default;
    PendingCheck(const PendingCheck&) = delete;
    PendingCheck& operator=(const PendingCheck&) = delete;
};

// The check of check_tree, made ready; the plan must outlive it.
std::unique_ptr<PendingCheck> ready_check(ListedManifest listed, const CheckPlan& plan,
                                          std::optional<TreeState> state);

// Two sealed manifests compared path by path, as written: `old_one` takes
// the manifest's place, `new_one` the tree's.
std::unique_ptr<Findings> compare_manifests(ListedManifest old_one, ListedManifest new_one);

}  // namespace driftmoor::tree
