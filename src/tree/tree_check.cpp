#include "tree/tree_check.h"

#include <algorithm>
#include <atomic>

#include "digest/constant_time_equal.h"
#include "platform/listing.h"
#include "tree/file_by_name.h"
#include "tree/path_order.h"

namespace driftmoor::tree {

namespace {

using platform::OsError;
using platform::OsResult;

// Whether a listed path's opening failed because nothing readable is there
// under that name: it is missing, not unreadable.
bool names_nothing(const OsError& error) noexcept {
    const auto kind = platform::error_kind(error);
    return kind == platform::ErrorKind::EntityNotFound ||
           kind == platform::ErrorKind::NotADirectory || platform::refuses_non_regular_file(error);
}

bool same_digest(const digest::Sha256Digest& a, const digest::Sha256Digest& b) noexcept {
    return digest::constant_time_equal(
        std::string_view(reinterpret_cast<const char*>(a.data()), a.size()),
        std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

// The error that says why an entry was left out, where its kind does not
// say it all (a dangling link is a dangling link, whatever error said so).
const OsError* error_telling(const LeftOutEntry& entry) noexcept {
    return walk::is_failure(entry.omission) && entry.error ? &*entry.error : nullptr;
}

// Paths with what goes with them, put in the order of the paths' bytes.
template <class Item>
std::vector<std::pair<std::string_view, Item>> sorted_by_path(
    std::vector<std::pair<std::string_view, Item>> items) {
    sort_by_path(items, [](const std::pair<std::string_view, Item>& item) { return item.first; });
    return items;
}

}  // namespace

// One check, from its plan to its findings.
class CheckRun {
  public:
    CheckRun(const CheckPlan& plan, platform::Cancellation& cancellation, Findings& out)
        : plan_(plan), cancellation_(cancellation), out_(out) {}

    OsResult<void> run(std::optional<TreeAccount> gathered) {
        if (plan_.tree && gathered) {
            out_.account_ = std::move(*gathered);
        } else if (plan_.tree) {
            auto account = account_tree(*plan_.tree, plan_.walk, cancellation_);
            if (!account) {
                return std::unexpected(std::move(account).error());
            }
            out_.account_ = std::move(*account);
        }
        const ListedInOrder listed = listed_paths();
        const auto walked = walked_files();
        const auto left_out = left_out_entries();
        for (const auto& [path, entry] : left_out) {
            if (entry->omission == walk::Omission::UnlistableDirectory) {
                out_.unlistable_.emplace(path, entry);
            }
        }
        // The three lists merged by path: each path once, with its state.
        std::size_t l = 0;
        std::size_t w = 0;
        std::size_t o = 0;
        while (l < listed.size() || w < walked.size() || o < left_out.size()) {
            // The least of the three heads.
            std::optional<std::string_view> path;
            const auto consider = [&](bool present, std::string_view head) {
                if (present && (!path || head < *path)) {
                    path = head;
                }
            };
            consider(l < listed.size(), l < listed.size() ? listed.path(l) : std::string_view());
            consider(w < walked.size(), w < walked.size() ? walked[w].first : std::string_view());
            consider(o < left_out.size(),
                     o < left_out.size() ? left_out[o].first : std::string_view());
            const walk::FileRecord* in_manifest =
                l < listed.size() && listed.path(l) == *path ? listed.record(l++) : nullptr;
            const walk::FileRecord* in_tree =
                w < walked.size() && walked[w].first == *path ? walked[w++].second : nullptr;
            const LeftOutEntry* left =
                o < left_out.size() && left_out[o].first == *path ? left_out[o++].second : nullptr;
            if (auto decided = decide(*path, in_manifest, in_tree, left); !decided) {
                return decided;
            }
        }
        for (const Finding& finding : out_.findings_) {
            if (finding.state == PathState::Unreadable && finding.below == nullptr) {
                out_.failures_.push_back(&finding);
            }
        }
        return {};
    }

  private:
    // The listed files in the order of the paths they are checked at: the
    // manifest's own order where no path moves (no room taken), else the
    // moved paths, sorted again.
    class ListedInOrder {
      public:
        explicit ListedInOrder(std::span<const walk::FileRecord* const> records) noexcept
            : records_(records) {}
        explicit ListedInOrder(
            std::vector<std::pair<std::string_view, const walk::FileRecord*>> moved) noexcept
            : moved_(std::move(moved)) {}

        std::size_t size() const noexcept {
            return moved_.empty() ? records_.size() : moved_.size();
        }
        std::string_view path(std::size_t index) const noexcept {
            return moved_.empty() ? records_[index]->key() : moved_[index].first;
        }
        const walk::FileRecord* record(std::size_t index) const noexcept {
            return moved_.empty() ? records_[index] : moved_[index].second;
        }

      private:
        std::span<const walk::FileRecord* const> records_;
        std::vector<std::pair<std::string_view, const walk::FileRecord*>> moved_;
    };

    ListedInOrder listed_paths() {
        if (plan_.listed_start == plan_.checked_start) {
            return ListedInOrder(out_.listed_.files());
        }
        std::vector<std::pair<std::string_view, const walk::FileRecord*>> moved;
        moved.reserve(out_.listed_.size());
        for (const walk::FileRecord* record : out_.listed_.files()) {
            std::string_view path = record->key();
            if (!path.starts_with('/') && path.starts_with(plan_.listed_start)) {
                path =
                    out_.paths_.keep(plan_.checked_start, path.substr(plan_.listed_start.size()));
            }
            moved.emplace_back(path, record);
        }
        return ListedInOrder(sorted_by_path(std::move(moved)));
    }

    // A path the walk formed, as a check names it.
    std::string_view checked(std::string_view walked) {
        if (plan_.walked_start == plan_.checked_start || !walked.starts_with(plan_.walked_start)) {
            return walked;
        }
        const std::string_view rest = walked.substr(plan_.walked_start.size());
        return plan_.checked_start.empty() ? rest : out_.paths_.keep(plan_.checked_start, rest);
    }

    std::vector<std::pair<std::string_view, const walk::FileRecord*>> walked_files() {
        std::vector<std::pair<std::string_view, const walk::FileRecord*>> walked;
        walked.reserve(out_.account_.file_count);
        out_.account_.files.visit([&](const walk::FileRecord& record) {
            walked.emplace_back(checked(record.key()), &record);
        });
        return sorted_by_path(std::move(walked));
    }

    std::vector<std::pair<std::string_view, const LeftOutEntry*>> left_out_entries() {
        std::vector<std::pair<std::string_view, const LeftOutEntry*>> left_out;
        for (const LeftOutEntry& entry : out_.account_.left_out) {
            // The manifest itself, kept in the tree it lists: no file of it.
            if (entry.omission == walk::Omission::Excluded) {
                continue;
            }
            left_out.emplace_back(checked(entry.path), &entry);
        }
        return sorted_by_path(std::move(left_out));
    }

    OsResult<void> decide(std::string_view path, const walk::FileRecord* in_manifest,
                          const walk::FileRecord* in_tree, const LeftOutEntry* left) {
        if (in_manifest != nullptr && in_tree != nullptr) {
            const bool same = same_digest(in_manifest->sha256, in_tree->sha256);
            add({.path = path,
                 .expected = &in_manifest->sha256,
                 .actual = &in_tree->sha256,
                 .state = same ? PathState::Ok : PathState::Changed});
            return {};
        }
        if (in_tree != nullptr) {
            add({.path = path, .actual = &in_tree->sha256, .state = PathState::Added});
            return {};
        }
        if (in_manifest == nullptr) {
            // Left out by the walk, and not listed.
            add({.path = path,
                 .error = error_telling(*left),
                 .state = walk::is_failure(left->omission) ? PathState::Unreadable
                                                           : PathState::PassedOver,
                 .omission = left->omission});
            return {};
        }
        if (left != nullptr && walk::is_failure(left->omission)) {
            add({.path = path,
                 .expected = &in_manifest->sha256,
                 .error = error_telling(*left),
                 .state = PathState::Unreadable,
                 .omission = left->omission});
            return {};
        }
        if (const auto* directory = unlistable_above(path)) {
            // Whether it is still there cannot be seen.
            add({.path = path,
                 .expected = &in_manifest->sha256,
                 .error = error_telling(*directory->second),
                 .below = &directory->first,
                 .state = PathState::Unreadable,
                 .omission = directory->second->omission});
            return {};
        }
        return read_by_name(path, *in_manifest);
    }

    // A listed file the walk did not read: read under its own name,
    // wherever its links lead, as `sha256sum -c` reads it.
    OsResult<void> read_by_name(std::string_view path, const walk::FileRecord& listed) {
        if (auto go_on = cancellation_.check(); !go_on) {
            return go_on;
        }
        if (path.find('\0') != std::string_view::npos) {
            // No file can have the name: nothing is asked of the system.
            add({.path = path, .expected = &listed.sha256, .state = PathState::Missing});
            return {};
        }
        auto digest = read_regular_file(path, plan_.walk, cancellation_);
        if (digest) {
            const auto& found = out_.digests_.emplace_back(*digest);
            const bool same = same_digest(listed.sha256, found);
            add({.path = path,
                 .expected = &listed.sha256,
                 .actual = &found,
                 .state = same ? PathState::Ok : PathState::Changed});
            return {};
        }
        if (walk::ends_every_walk(digest.error())) {
            return std::unexpected(std::move(digest).error());
        }
        if (names_nothing(digest.error())) {
            add({.path = path, .expected = &listed.sha256, .state = PathState::Missing});
            return {};
        }
        add({.path = path,
             .expected = &listed.sha256,
             .error = &out_.errors_.emplace_back(std::move(digest).error()),
             .state = PathState::Unreadable,
             .omission = walk::Omission::UnreadableFile});
        return {};
    }

    // The nearest directory above the path that the walk could not list.
    const std::pair<const std::string_view, const LeftOutEntry*>* unlistable_above(
        std::string_view path) const {
        if (out_.unlistable_.empty()) {
            return nullptr;
        }
        for (std::size_t end = path.rfind('/'); end != 0 && end != std::string_view::npos;
             end = path.rfind('/', end - 1)) {
            if (const auto found = out_.unlistable_.find(path.substr(0, end));
                found != out_.unlistable_.end()) {
                return &*found;
            }
        }
        return nullptr;
    }

    void add(Finding finding) { out_.findings_.push_back(finding); }

    const CheckPlan& plan_;
    platform::Cancellation& cancellation_;
    Findings& out_;
};

OsResult<std::unique_ptr<Findings>> check_tree(ListedManifest listed, const CheckPlan& plan,
                                               platform::Cancellation& cancellation,
                                               std::optional<TreeAccount> walked) {
    auto findings = std::make_unique<Findings>();
    findings->listed_ = std::move(listed);
    CheckRun run(plan, cancellation, *findings);
    if (auto ran = run.run(std::move(walked)); !ran) {
        return std::unexpected(std::move(ran).error());
    }
    return findings;
}

std::unique_ptr<Findings> compare_manifests(ListedManifest old_one, ListedManifest new_one) {
    auto findings = std::make_unique<Findings>();
    findings->listed_ = std::move(old_one);
    findings->other_ = std::move(new_one);
    const auto old_files = findings->listed_.files();
    const auto new_files = findings->other_.files();
    std::size_t o = 0;
    std::size_t n = 0;
    while (o < old_files.size() || n < new_files.size()) {
        const bool take_old = o < old_files.size() &&
                              (n == new_files.size() || old_files[o]->key() <= new_files[n]->key());
        const bool take_new = n < new_files.size() &&
                              (o == old_files.size() || new_files[n]->key() <= old_files[o]->key());
        const walk::FileRecord* old_file = take_old ? old_files[o++] : nullptr;
        const walk::FileRecord* new_file = take_new ? new_files[n++] : nullptr;
        Finding finding{.path = (old_file != nullptr ? old_file : new_file)->key(),
                        .state = PathState::Missing};
        if (old_file != nullptr && new_file != nullptr) {
            finding.state = same_digest(old_file->sha256, new_file->sha256) ? PathState::Ok
                                                                            : PathState::Changed;
        } else if (new_file != nullptr) {
            finding.state = PathState::Added;
        }
        finding.expected = old_file != nullptr ? &old_file->sha256 : nullptr;
        finding.actual = new_file != nullptr ? &new_file->sha256 : nullptr;
        findings->findings_.push_back(finding);
    }
    return findings;
}

}  // namespace driftmoor::tree
