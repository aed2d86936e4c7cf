#include "tree/tree_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "common/internal_failure.h"
#include "digest/constant_time_equal.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "tree/file_by_name.h"
#include "tree/listed_places.h"
#include "tree/part_run.h"
#include "tree/path_order.h"
#include "tree/path_spelling.h"

namespace driftmoor::tree {

std::size_t Findings::size() const noexcept {
    std::size_t total = 0;
    for (const std::uint64_t count : counts_) {
        total += static_cast<std::size_t>(count);
    }
    return total;
}

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

struct DigestHash {
    std::size_t operator()(const digest::Sha256Digest& digest) const noexcept {
        std::size_t hash;
        std::memcpy(&hash, digest.data(), sizeof hash);
        return hash;
    }
};

// What a check found of one listed file: kept for every file of a manifest
// of millions, so two bytes, written by the one worker that meets the file.
struct PlaceFacts {
    static constexpr std::uint8_t NOT_SEEN = 0xff;
    // Flags: the scrub's turn has come for the file; it was read for it.
    static constexpr std::uint8_t SCRUB_DUE = 1;
    static constexpr std::uint8_t SCRUBBED = 2;

    std::uint8_t state = NOT_SEEN;  // a PathState once found
    std::uint8_t flags = 0;
    Came came = Came::Unknown;
};

// Why a listed file is unreadable: the entry the walk left out, or the
// directory above it that could not be listed.
struct ListedWhy {
    std::size_t place;
    const LeftOutEntry* entry;
    const std::string_view* below;  // that directory's path, or null
};

// An entry the walk left out, and the listed file it is, if any.
struct WalkedLeftOut {
    LeftOutEntry entry;
    std::size_t place;  // NOT_LISTED where unlisted
};
constexpr std::size_t NOT_LISTED = static_cast<std::size_t>(-1);

class CheckFindings;

// A worker's use of the walk in a check: each file it meets is matched with
// its place in the manifest; what the manifest does not list is kept whole.
class CheckPolicy final : public walk::WalkPolicy {
  public:
    CheckPolicy(CheckFindings& check, const CheckPlan& plan);

    bool takes_unread(std::string_view path, const platform::FileStatus& status) override;
    void add_file(std::string_view path, const digest::Sha256Digest& digest,
                  const walk::ReadStatus* read) override;
    OsResult<void> leave_out(walk::LeftOut left_out) override;

    // What this worker found that is not kept by place.
    walk::RecordArena added{walk::RecordArena::Placement::PagesOnly};
    std::size_t added_count = 0;
    std::vector<WalkedLeftOut> left_out_entries;
    std::vector<std::pair<std::size_t, digest::Sha256Digest>> actual;  // where not the listed
    std::uint64_t trusted = 0;
    std::uint64_t read = 0;

  private:
    // A path the walk formed, as the check names it.
    std::string_view checked(std::string_view walked);

    CheckFindings& check_;
    const CheckPlan& plan_;
    std::string checked_;  // the last path made anew
    ListedPlaces::DirectoryRange range_;
};

// A check of a tree: its manifest, what it found of each listed file by
// place, and whatever it found that the manifest does not list.
class CheckFindings final : public Findings {
  public:
    CheckFindings(ListedManifest listed, const CheckPlan& plan, std::optional<TreeState> state)
        : listed_(std::move(listed)),
          places_(listed_, plan.listed_start, plan.checked_start),
          facts_(listed_.size()),
          state_(std::move(state)) {}

    // Chooses the files whose turn in the scrub has come: before run, and
    // before trust_table.
    void prepare(const CheckPlan& plan) {
        if (state_ && plan.scrub_every != 0) {
            choose_scrub(plan.scrub_every);
        }
    }
    TrustTable trust_table(const CheckPlan& plan) const;
    OsResult<void> run(const CheckPlan& plan, platform::Cancellation& cancellation,
                       std::optional<TreeAccount> gathered);

    std::optional<Finding> next(Cursor& cursor) const override;
    std::vector<Failure> failures() const override;
    TreeState* state() noexcept override { return state_ ? &*state_ : nullptr; }
    std::optional<StateCounts> state_counts() const override {
        return state_ ? std::optional(state_counts_) : std::nullopt;
    }

    // For the workers' policies.
    const ListedPlaces& places() const noexcept { return places_; }
    // Whether the file at `place`, whose status is `status`, is taken as
    // recorded, unread; and if so, taken.
    bool take_unread(std::size_t place, const platform::FileStatus& status);
    // A listed file read: its state and the state's record, and how the
    // check came by it. Where its digest is not the listed one, it is added
    // to `actual`.
    Came settle_read(std::size_t place, const digest::Sha256Digest& digest,
                     const walk::ReadStatus* read,
                     std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual);
    void count_done() const {
        if (files_done_ != nullptr) {
            std::atomic_ref(*files_done_).fetch_add(1, std::memory_order_relaxed);
        }
    }

  private:
    std::uint64_t path_hash_of(std::size_t place) const noexcept {
        return path_hash(listed_.files()[place]->key());
    }
    void choose_scrub(std::size_t every);
    OsResult<void> read_unseen(const CheckPlan& plan, platform::Cancellation& cancellation,
                               std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual);
    OsResult<void> read_by_name(std::size_t place, std::string_view path, const CheckPlan& plan,
                                platform::Cancellation& cancellation,
                                std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual);
    const std::pair<const std::string_view, const LeftOutEntry*>* unlistable_above(
        std::string_view path) const;
    void pair_moves();
    void keep_state_digests();
    void count();
    const digest::Sha256Digest* actual_of(std::size_t place) const noexcept;
    const ListedWhy* why_of(std::size_t place) const noexcept;
    Finding listed_finding(std::size_t index, Cursor& cursor) const;

    ListedManifest listed_;
    ListedPlaces places_;
    std::vector<PlaceFacts> facts_;
    std::optional<TreeState> state_;
    StateCounts state_counts_;
    std::uint64_t* files_done_ = nullptr;
    // Digests read that are not the listed ones, by place.
    std::vector<std::pair<std::size_t, digest::Sha256Digest>> actual_;
    // Files the manifest does not list, in path order; those found to be a
    // listed file moved are passed over, having been told with it.
    walk::RecordArena added_arena_{walk::RecordArena::Placement::PagesOnly};
    std::vector<const walk::FileRecord*> added_;
    std::vector<bool> added_moved_;
    std::vector<std::pair<std::size_t, std::size_t>> moved_;  // place, index into added_
    // Every entry the walk left out; the unlisted ones in path order.
    std::vector<LeftOutEntry> left_out_;
    std::vector<const LeftOutEntry*> unlisted_left_out_;
    std::deque<LeftOutEntry> by_name_failures_;
    std::vector<ListedWhy> why_;  // by place
    // The directories the walk could not list, by the path a check names
    // them by: what the findings below them point at.
    std::unordered_map<std::string_view, const LeftOutEntry*> unlistable_;
};

CheckPolicy::CheckPolicy(CheckFindings& check, const CheckPlan& plan) : check_(check), plan_(plan) {
    unicode_paths_only = false;
    excluded_file = plan.walk.excluded_file;
    bounds = plan.walk.bounds;
    bytes_done = plan.walk.bytes_done;
}

std::string_view CheckPolicy::checked(std::string_view walked) {
    if (plan_.walked_start == plan_.checked_start || !walked.starts_with(plan_.walked_start)) {
        return walked;
    }
    const std::string_view rest = walked.substr(plan_.walked_start.size());
    if (plan_.checked_start.empty()) {
        return rest;
    }
    checked_.assign(plan_.checked_start);
    checked_ += rest;
    return checked_;
}

bool CheckPolicy::takes_unread(std::string_view path, const platform::FileStatus& status) {
    const std::size_t index = check_.places().find(checked(path), range_);
    if (index == ListedPlaces::NOT_FOUND ||
        !check_.take_unread(check_.places().place(index), status)) {
        return false;
    }
    ++trusted;
    return true;
}

void CheckPolicy::add_file(std::string_view path, const digest::Sha256Digest& digest,
                           const walk::ReadStatus* read_status) {
    const std::string_view name = checked(path);
    const std::size_t index = check_.places().find(name, range_);
    if (index == ListedPlaces::NOT_FOUND) {
        added.append(0, name, digest);
        ++added_count;
        ++read;
    } else {
        // A file scrubbed is counted as such with the rest, once settled.
        if (check_.settle_read(check_.places().place(index), digest, read_status, actual) !=
            Came::Scrubbed) {
            ++read;
        }
    }
    check_.count_done();
}

OsResult<void> CheckPolicy::leave_out(walk::LeftOut left_out) {
    // The manifest itself, kept in the tree it lists: no file of it.
    if (left_out.omission == walk::Omission::Excluded) {
        return {};
    }
    const std::string_view name = checked(left_out.path);
    const std::size_t index = check_.places().find(name, range_);
    std::size_t place = NOT_LISTED;
    if (index != ListedPlaces::NOT_FOUND) {
        if (!walk::is_failure(left_out.omission)) {
            return {};  // passed over here, and read by its own name
        }
        place = check_.places().place(index);
    }
    left_out_entries.push_back(
        {{std::string(name), left_out.omission, std::move(left_out.error)}, place});
    return {};
}

bool CheckFindings::take_unread(std::size_t place, const platform::FileStatus& status) {
    if (!state_) {
        return false;
    }
    const StateRecord& record = state_->record(place);
    if (record.path_hash != path_hash_of(place) || !trustworthy(record, status) ||
        (record.digest_differs && state_->other_digest(place) == nullptr)) {
        return false;
    }
    PlaceFacts& facts = facts_[place];
    if ((facts.flags & PlaceFacts::SCRUB_DUE) != 0) {
        facts.flags |= PlaceFacts::SCRUBBED;
        return false;
    }
    facts.state =
        static_cast<std::uint8_t>(record.digest_differs ? PathState::Changed : PathState::Ok);
    facts.came = Came::Trusted;
    count_done();
    return true;
}

Came CheckFindings::settle_read(std::size_t place, const digest::Sha256Digest& digest,
                                const walk::ReadStatus* read,
                                std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual) {
    const bool same = same_digest(listed_.files()[place]->sha256, digest);
    PathState state = same ? PathState::Ok : PathState::Changed;
    PlaceFacts& facts = facts_[place];
    if (state_) {
        StateRecord& record = state_->record(place);
        const std::uint64_t hash = path_hash_of(place);
        // Its content is not what it was when it last matched, yet nothing
        // the file system keeps says it was written since.
        if (!same && read != nullptr && record.read_at_ns != 0 && record.path_hash == hash &&
            !record.digest_differs && read->status.size == record.size &&
            read->status.mtime_ns == record.mtime_ns && read->status.ctime_ns == record.ctime_ns) {
            state = PathState::Damaged;
        }
        facts.came = (facts.flags & PlaceFacts::SCRUBBED) != 0 ? Came::Scrubbed : Came::Read;
        // A read whose status is unknown leaves nothing to trust next time.
        record = read != nullptr ? StateRecord::of_read(hash, read->status, read->began_ns, !same)
                                 : StateRecord{};
    }
    facts.state = static_cast<std::uint8_t>(state);
    if (!same) {
        actual.emplace_back(place, digest);
    }
    return facts.came;
}

OsResult<void> CheckFindings::run(const CheckPlan& plan, platform::Cancellation& cancellation,
                                  std::optional<TreeAccount> gathered) {
    files_done_ = plan.walk.files_done;
    for (std::uint64_t* count : {plan.walk.files_done, plan.walk.bytes_done}) {
        if (count != nullptr) {
            std::atomic_ref(*count).store(0, std::memory_order_relaxed);
        }
    }
    std::vector<std::pair<std::size_t, digest::Sha256Digest>> actual;
    std::uint64_t read = 0;
    if (plan.tree) {
        std::vector<CheckPolicy> policies;
        std::vector<walk::WalkPolicy*> workers;
        const std::size_t jobs = std::max<std::size_t>(plan.walk.jobs, 1);
        policies.reserve(jobs);
        for (std::size_t job = 0; job < jobs; ++job) {
            CheckPolicy& policy = policies.emplace_back(*this, plan);
            policy.judges_files = state_.has_value();
            policy.records_reads = state_.has_value();
            workers.push_back(&policy);
        }
        if (gathered) {
            if (auto played = play_account(std::move(*gathered), *workers.front()); !played) {
                return played;
            }
        } else if (auto walked = walk_tree(*plan.tree, workers, cancellation); !walked) {
            return std::unexpected(std::move(walked).error());
        }
        std::size_t added = 0;
        std::size_t left_out = 0;
        for (const CheckPolicy& policy : policies) {
            added += policy.added_count;
            left_out += policy.left_out_entries.size();
        }
        added_.reserve(added);
        left_out_.reserve(left_out);
        std::vector<std::size_t> listed_left_out;
        for (CheckPolicy& policy : policies) {
            added_arena_.take_all(std::move(policy.added));
            for (WalkedLeftOut& entry : policy.left_out_entries) {
                if (entry.place != NOT_LISTED) {
                    why_.push_back({entry.place, nullptr, nullptr});
                    listed_left_out.push_back(left_out_.size());
                }
                left_out_.push_back(std::move(entry.entry));
            }
            actual.insert(actual.end(), policy.actual.begin(), policy.actual.end());
            state_counts_.trusted += policy.trusted;
            read += policy.read;
        }
        // The entries are in place now: what points at them can be made.
        for (std::size_t index = 0; index < why_.size(); ++index) {
            why_[index].entry = &left_out_[listed_left_out[index]];
        }
        added_arena_.visit([&](const walk::FileRecord& record) { added_.push_back(&record); });
        sort_by_path(added_, [](const walk::FileRecord* record) { return record->key(); });
        std::vector<const LeftOutEntry*> unlisted;
        std::ranges::sort(why_, {}, &ListedWhy::place);
        for (const LeftOutEntry& entry : left_out_) {
            if (entry.omission == walk::Omission::UnlistableDirectory) {
                unlistable_.emplace(entry.path, &entry);
            }
        }
        for (std::size_t index = 0, listed = 0; index < left_out_.size(); ++index) {
            if (listed < listed_left_out.size() && listed_left_out[listed] == index) {
                ++listed;
                continue;
            }
            unlisted_left_out_.push_back(&left_out_[index]);
        }
        sort_by_path(unlisted_left_out_,
                     [](const LeftOutEntry* entry) { return std::string_view(entry->path); });
    }
    if (auto read_all = read_unseen(plan, cancellation, actual); !read_all) {
        return read_all;
    }
    std::ranges::sort(actual, {}, &std::pair<std::size_t, digest::Sha256Digest>::first);
    actual_ = std::move(actual);
    if (plan.tree) {
        pair_moves();
    }
    keep_state_digests();
    count();
    state_counts_.read += read;
    return {};
}

TrustTable CheckFindings::trust_table(const CheckPlan& plan) const {
    std::vector<TrustTable::Entry> entries;
    if (!state_) {
        return TrustTable(std::move(entries));
    }
    std::string path;
    for (std::size_t index = 0; index < places_.size(); ++index) {
        const std::size_t place = places_.place(index);
        const StateRecord& record = state_->record(place);
        // As take_unread judges it, but for the file's status now, which the
        // machine that meets the file asks.
        if (record.read_at_ns == 0 || record.path_hash != path_hash_of(place) ||
            (record.digest_differs && state_->other_digest(place) == nullptr)) {
            continue;
        }
        places_.path(index).assign_to(path);
        // Named as the walk of the tree names it, below its top; a listed
        // path elsewhere is read by its name, here.
        if (!path.starts_with(plan.checked_start)) {
            continue;
        }
        entries.push_back({path.substr(plan.checked_start.size()), record,
                           (facts_[place].flags & PlaceFacts::SCRUB_DUE) != 0});
    }
    return TrustTable(std::move(entries));
}

void CheckFindings::choose_scrub(std::size_t every) {
    std::vector<std::pair<std::int64_t, std::size_t>> recorded;
    for (std::size_t place = 0; place < state_->size(); ++place) {
        const StateRecord& record = state_->record(place);
        if (record.read_at_ns != 0 && record.path_hash == path_hash_of(place)) {
            recorded.emplace_back(record.read_at_ns, place);
        }
    }
    // The share whose turn has come: over N checks, every file's turn.
    const std::size_t due = (recorded.size() + every - 1) / every;
    std::ranges::nth_element(recorded, recorded.begin() + static_cast<std::ptrdiff_t>(due));
    for (std::size_t index = 0; index < due; ++index) {
        facts_[recorded[index].second].flags |= PlaceFacts::SCRUB_DUE;
    }
}

OsResult<void> CheckFindings::read_unseen(
    const CheckPlan& plan, platform::Cancellation& cancellation,
    std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual) {
    std::string path;
    for (std::size_t index = 0; index < places_.size(); ++index) {
        const std::size_t place = places_.place(index);
        if (facts_[place].state != PlaceFacts::NOT_SEEN) {
            continue;
        }
        places_.path(index).assign_to(path);
        if (const auto* directory = unlistable_above(path)) {
            // Whether it is still there cannot be seen.
            why_.push_back({place, directory->second, &directory->first});
            facts_[place].state = static_cast<std::uint8_t>(PathState::Unreadable);
            continue;
        }
        if (auto done = read_by_name(place, path, plan, cancellation, actual); !done) {
            return done;
        }
    }
    std::ranges::sort(why_, {}, &ListedWhy::place);
    return {};
}

// A listed file the walk did not read: read under its own name, wherever
// its links lead, as `sha256sum -c` reads it.
OsResult<void> CheckFindings::read_by_name(
    std::size_t place, std::string_view path, const CheckPlan& plan,
    platform::Cancellation& cancellation,
    std::vector<std::pair<std::size_t, digest::Sha256Digest>>& actual) {
    if (auto go_on = cancellation.check(); !go_on) {
        return go_on;
    }
    PlaceFacts& facts = facts_[place];
    if (path.find('\0') != std::string_view::npos) {
        // No file can have the name: nothing is asked of the system.
        facts.state = static_cast<std::uint8_t>(PathState::Missing);
        return {};
    }
    if (state_) {
        if (const auto status = platform::query_status(path);
            status && status->type == platform::FileType::RegularFile &&
            take_unread(place, *status)) {
            ++state_counts_.trusted;
            return {};
        }
    }
    std::optional<walk::ReadStatus> read;
    auto digest = read_regular_file(path, plan.walk, cancellation, state_ ? &read : nullptr);
    if (digest) {
        if (settle_read(place, *digest, read ? &*read : nullptr, actual) != Came::Scrubbed) {
            ++state_counts_.read;
        }
        return {};
    }
    if (walk::ends_every_walk(digest.error())) {
        return std::unexpected(std::move(digest).error());
    }
    if (names_nothing(digest.error())) {
        facts.state = static_cast<std::uint8_t>(PathState::Missing);
        return {};
    }
    const LeftOutEntry& entry = by_name_failures_.emplace_back(
        LeftOutEntry{std::string(path), walk::Omission::UnreadableFile, std::move(digest).error()});
    why_.push_back({place, &entry, nullptr});
    facts.state = static_cast<std::uint8_t>(PathState::Unreadable);
    return {};
}

// The nearest directory above the path that the walk could not list.
const std::pair<const std::string_view, const LeftOutEntry*>* CheckFindings::unlistable_above(
    std::string_view path) const {
    if (unlistable_.empty()) {
        return nullptr;
    }
    for (std::size_t end = path.rfind('/'); end != 0 && end != std::string_view::npos;
         end = path.rfind('/', end - 1)) {
        if (const auto found = unlistable_.find(path.substr(0, end)); found != unlistable_.end()) {
            return &*found;
        }
    }
    return nullptr;
}

// A missing file and an added one with the same digest, each the only one
// with it on its side, are one file moved (or renamed). Files that share
// their digest with others (empty ones, copies) cannot be told apart, and
// stay missing and added.
void CheckFindings::pair_moves() {
    constexpr std::size_t MANY = static_cast<std::size_t>(-1);
    std::unordered_map<digest::Sha256Digest, std::size_t, DigestHash> missing;
    for (std::size_t place = 0; place < facts_.size(); ++place) {
        if (facts_[place].state == static_cast<std::uint8_t>(PathState::Missing)) {
            const auto [at, fresh] = missing.try_emplace(listed_.files()[place]->sha256, place);
            if (!fresh) {
                at->second = MANY;
            }
        }
    }
    if (missing.empty() || added_.empty()) {
        return;
    }
    std::unordered_map<digest::Sha256Digest, std::size_t, DigestHash> added;
    for (std::size_t index = 0; index < added_.size(); ++index) {
        if (missing.contains(added_[index]->sha256)) {
            const auto [at, fresh] = added.try_emplace(added_[index]->sha256, index);
            if (!fresh) {
                at->second = MANY;
            }
        }
    }
    added_moved_.assign(added_.size(), false);
    for (const auto& [digest, index] : added) {
        const std::size_t place = missing.at(digest);
        if (index == MANY || place == MANY) {
            continue;
        }
        facts_[place].state = static_cast<std::uint8_t>(PathState::Moved);
        added_moved_[index] = true;
        moved_.emplace_back(place, index);
    }
    std::ranges::sort(moved_);
}

// The digests read that differ from the manifest's are the state's to keep
// with its records; those of files read that match again are dropped.
void CheckFindings::keep_state_digests() {
    if (!state_) {
        return;
    }
    for (std::size_t place = 0; place < facts_.size(); ++place) {
        const Came came = facts_[place].came;
        if (came != Came::Read && came != Came::Scrubbed) {
            continue;
        }
        state_->mark_changed(place);
        if (const auto* digest = actual_of(place);
            digest != nullptr && state_->record(place).read_at_ns != 0) {
            state_->set_other_digest(place, *digest);
        } else {
            state_->forget_other_digest(place);
        }
    }
    for (std::size_t place = 0; place < state_->size(); ++place) {
        const std::int64_t read_at = state_->record(place).read_at_ns;
        if (read_at != 0 &&
            (state_counts_.oldest_read_ns == 0 || read_at < state_counts_.oldest_read_ns)) {
            state_counts_.oldest_read_ns = read_at;
        }
    }
}

void CheckFindings::count() {
    for (const PlaceFacts& facts : facts_) {
        ++counts_[facts.state];
        if (facts.came == Came::Scrubbed) {
            ++state_counts_.scrubbed;
        }
    }
    for (std::size_t index = 0; index < added_.size(); ++index) {
        if (added_moved_.empty() || !added_moved_[index]) {
            ++counts_[static_cast<std::size_t>(PathState::Added)];
        }
    }
    for (const LeftOutEntry* entry : unlisted_left_out_) {
        ++counts_[static_cast<std::size_t>(
            walk::is_failure(entry->omission) ? PathState::Unreadable : PathState::PassedOver)];
    }
}

const digest::Sha256Digest* CheckFindings::actual_of(std::size_t place) const noexcept {
    const auto found = std::ranges::lower_bound(
        actual_, place, {}, &std::pair<std::size_t, digest::Sha256Digest>::first);
    return found != actual_.end() && found->first == place ? &found->second : nullptr;
}

const ListedWhy* CheckFindings::why_of(std::size_t place) const noexcept {
    const auto found = std::ranges::lower_bound(why_, place, {}, &ListedWhy::place);
    return found != why_.end() && found->place == place ? &*found : nullptr;
}

Finding CheckFindings::listed_finding(std::size_t index, Cursor& cursor) const {
    const std::size_t place = places_.place(index);
    const walk::FileRecord& record = *listed_.files()[place];
    const PlaceFacts& facts = facts_[place];
    const auto state = static_cast<PathState>(facts.state);
    Finding finding{.path = places_.path(index).view(cursor.path),
                    .expected = &record.sha256,
                    .state = state,
                    .came = facts.came};
    switch (state) {
        case PathState::Ok:
            finding.actual = &record.sha256;
            break;
        case PathState::Changed:
        case PathState::Damaged:
            finding.actual =
                facts.came == Came::Trusted ? state_->other_digest(place) : actual_of(place);
            break;
        case PathState::Moved: {
            const auto moved = std::ranges::lower_bound(
                moved_, place, {}, &std::pair<std::size_t, std::size_t>::first);
            finding.actual = &record.sha256;
            finding.moved_to = added_[moved->second]->key();
            break;
        }
        case PathState::Unreadable:
            if (const ListedWhy* why = why_of(place)) {
                finding.error = error_telling(*why->entry);
                finding.omission = why->entry->omission;
                finding.below = why->below;
            }
            break;
        default:
            break;
    }
    return finding;
}

std::optional<Finding> CheckFindings::next(Cursor& cursor) const {
    while (cursor.found < added_.size() && !added_moved_.empty() && added_moved_[cursor.found]) {
        ++cursor.found;
    }
    const bool has_listed = cursor.listed < places_.size();
    const bool has_added = cursor.found < added_.size();
    const bool has_left_out = cursor.left_out < unlisted_left_out_.size();
    if (!has_listed && !has_added && !has_left_out) {
        return std::nullopt;
    }
    const std::string_view added = has_added ? added_[cursor.found]->key() : std::string_view();
    const std::string_view left_out =
        has_left_out ? std::string_view(unlisted_left_out_[cursor.left_out]->path)
                     : std::string_view();
    // The least of the three heads; a listed path first where paths tie.
    const bool take_listed = has_listed &&
                             (!has_added || places_.path(cursor.listed).compare(added) <= 0) &&
                             (!has_left_out || places_.path(cursor.listed).compare(left_out) <= 0);
    if (take_listed) {
        return listed_finding(cursor.listed++, cursor);
    }
    if (has_added && (!has_left_out || added <= left_out)) {
        const walk::FileRecord& record = *added_[cursor.found++];
        return Finding{.path = record.key(),
                       .actual = &record.sha256,
                       .state = PathState::Added,
                       .came = state_ ? Came::Read : Came::Unknown};
    }
    const LeftOutEntry& entry = *unlisted_left_out_[cursor.left_out++];
    const bool failed = walk::is_failure(entry.omission);
    return Finding{.path = entry.path,
                   .error = error_telling(entry),
                   .state = failed ? PathState::Unreadable : PathState::PassedOver,
                   .omission = entry.omission};
}

std::vector<Failure> CheckFindings::failures() const {
    std::vector<Failure> failures;
    Cursor cursor;
    while (const auto finding = next(cursor)) {
        if (finding->state == PathState::Unreadable && finding->below == nullptr) {
            failures.push_back({std::string(finding->path), finding->omission, finding->error});
        }
    }
    return failures;
}

// Two manifests compared: each path of either, in order.
class ComparedFindings final : public Findings {
  public:
    ComparedFindings(ListedManifest old_one, ListedManifest new_one)
        : old_(std::move(old_one)), new_(std::move(new_one)) {
        pair_moves();
        Cursor cursor;
        while (const auto finding = next(cursor)) {
            ++counts_[static_cast<std::size_t>(finding->state)];
        }
    }

    std::optional<Finding> next(Cursor& cursor) const override {
        const auto old_files = old_.files();
        const auto new_files = new_.files();
        while (cursor.found < new_files.size() && new_moved_[cursor.found]) {
            ++cursor.found;
        }
        const bool has_old = cursor.listed < old_files.size();
        const bool has_new = cursor.found < new_files.size();
        if (!has_old && !has_new) {
            return std::nullopt;
        }
        const bool take_old = has_old && (!has_new || old_files[cursor.listed]->key() <=
                                                          new_files[cursor.found]->key());
        const bool take_new = has_new && (!has_old || new_files[cursor.found]->key() <=
                                                          old_files[cursor.listed]->key());
        const std::size_t old_index = cursor.listed;
        const walk::FileRecord* old_file = take_old ? old_files[cursor.listed++] : nullptr;
        const walk::FileRecord* new_file = take_new ? new_files[cursor.found++] : nullptr;
        Finding finding{.path = (old_file != nullptr ? old_file : new_file)->key(),
                        .expected = old_file != nullptr ? &old_file->sha256 : nullptr,
                        .actual = new_file != nullptr ? &new_file->sha256 : nullptr,
                        .state = PathState::Missing};
        if (old_file != nullptr && new_file != nullptr) {
            finding.state = same_digest(old_file->sha256, new_file->sha256) ? PathState::Ok
                                                                            : PathState::Changed;
        } else if (new_file != nullptr) {
            finding.state = PathState::Added;
        } else if (const auto moved = std::ranges::lower_bound(
                       moved_, old_index, {}, &std::pair<std::size_t, std::size_t>::first);
                   moved != moved_.end() && moved->first == old_index) {
            finding.state = PathState::Moved;
            finding.actual = &old_file->sha256;
            finding.moved_to = new_files[moved->second]->key();
        }
        return finding;
    }

    std::vector<Failure> failures() const override { return {}; }

  private:
    // As a check pairs them: the one path of a digest gone from OLD, and
    // the one path of it new in NEW.
    void pair_moves() {
        constexpr std::size_t MANY = static_cast<std::size_t>(-1);
        const auto old_files = old_.files();
        const auto new_files = new_.files();
        new_moved_.assign(new_files.size(), false);
        std::vector<std::size_t> gone;
        std::vector<std::size_t> fresh;
        for (std::size_t o = 0, n = 0; o < old_files.size() || n < new_files.size();) {
            if (n == new_files.size() ||
                (o < old_files.size() && old_files[o]->key() < new_files[n]->key())) {
                gone.push_back(o++);
            } else if (o == old_files.size() || new_files[n]->key() < old_files[o]->key()) {
                fresh.push_back(n++);
            } else {
                ++o;
                ++n;
            }
        }
        std::unordered_map<digest::Sha256Digest, std::size_t, DigestHash> by_digest;
        for (const std::size_t o : gone) {
            const auto [at, first] = by_digest.try_emplace(old_files[o]->sha256, o);
            if (!first) {
                at->second = MANY;
            }
        }
        std::unordered_map<digest::Sha256Digest, std::size_t, DigestHash> added;
        for (const std::size_t n : fresh) {
            if (by_digest.contains(new_files[n]->sha256)) {
                const auto [at, first] = added.try_emplace(new_files[n]->sha256, n);
                if (!first) {
                    at->second = MANY;
                }
            }
        }
        for (const auto& [digest, n] : added) {
            const std::size_t o = by_digest.at(digest);
            if (n != MANY && o != MANY) {
                moved_.emplace_back(o, n);
                new_moved_[n] = true;
            }
        }
        std::ranges::sort(moved_);
    }

    ListedManifest old_;
    ListedManifest new_;
    std::vector<std::pair<std::size_t, std::size_t>> moved_;  // old index, new index
    std::vector<bool> new_moved_;
};

}  // namespace

namespace {

class ReadyCheck final : public PendingCheck {
  public:
    ReadyCheck(ListedManifest listed, const CheckPlan& plan, std::optional<TreeState> state)
        : plan_(plan),
          findings_(std::make_unique<CheckFindings>(std::move(listed), plan, std::move(state))) {
        findings_->prepare(plan);
    }

    TrustTable trust_table() const override { return findings_->trust_table(plan_); }

    OsResult<std::unique_ptr<Findings>> run(platform::Cancellation& cancellation,
                                            std::optional<TreeAccount> gathered) override {
        if (!findings_) {
            panic("a check was run twice");
        }
        if (auto ran = findings_->run(plan_, cancellation, std::move(gathered)); !ran) {
            return std::unexpected(std::move(ran).error());
        }
        return std::move(findings_);
    }

  private:
    const CheckPlan& plan_;
    std::unique_ptr<CheckFindings> findings_;
};

}  // namespace

std::unique_ptr<PendingCheck> ready_check(ListedManifest listed, const CheckPlan& plan,
                                          std::optional<TreeState> state) {
    return std::make_unique<ReadyCheck>(std::move(listed), plan, std::move(state));
}

OsResult<std::unique_ptr<Findings>> check_tree(ListedManifest listed, const CheckPlan& plan,
                                               std::optional<TreeState> state,
                                               platform::Cancellation& cancellation) {
    return ready_check(std::move(listed), plan, std::move(state))->run(cancellation, std::nullopt);
}

std::unique_ptr<Findings> compare_manifests(ListedManifest old_one, ListedManifest new_one) {
    return std::make_unique<ComparedFindings>(std::move(old_one), std::move(new_one));
}

}  // namespace driftmoor::tree
