#include "tree/tree_account.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <vector>

#include "digest/file_digest.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "tree/path_spelling.h"

namespace driftmoor::tree {
namespace {

// The account's use of the walk: every path taken as its bytes, and every
// entry left out kept with its reason rather than ending the walk.
class AccountPolicy final : public walk::WalkPolicy {
  public:
    AccountPolicy(TreeAccount& account, const AccountOptions& options) noexcept
        : account_(account),
          files_done_(options.files_done),
          taker_(options.taker),
          judge_(options.judge) {
        unicode_paths_only = false;
        excluded_file = options.excluded_file;
        bounds = options.bounds;
        bytes_done = options.bytes_done;
        records_reads = options.records_reads || options.judge != nullptr;
        hands_back = options.taker != nullptr;
        judges_files = options.judge != nullptr;
    }

    bool hand_back(const walk::HandedBack& directory) override { return taker_->take(directory); }

    bool takes_unread(std::string_view path, const platform::FileStatus& status) override {
        const FileJudge::Verdict verdict = judge_->judge(path, status);
        if (verdict == FileJudge::Verdict::Read) {
            return false;
        }
        const bool taken = verdict == FileJudge::Verdict::Taken;
        account_.judged.push_back({std::string(path), status, taken});
        if (taken) {
            count_done();
        }
        return taken;
    }

    void add_file(std::string_view path, const digest::Sha256Digest& digest,
                  const walk::ReadStatus* read) override {
        account_.files.append(0, path, digest);
        if (records_reads) {
            // One for each file, so that the records go with the files: one
            // whose status could not be asked is never trusted.
            const std::uint64_t hash = path_hash(plain_spelling(path));
            account_.reads.push_back(
                read != nullptr ? StateRecord::of_read(hash, read->status, read->began_ns, false)
                                : StateRecord{.path_hash = hash});
        }
        ++account_.file_count;
        count_done();
    }

    platform::OsResult<void> leave_out(walk::LeftOut left_out) override {
        account_.left_out.push_back(
            {std::string(left_out.path), left_out.omission, std::move(left_out.error)});
        return {};
    }

  private:
    void count_done() const {
        if (files_done_ != nullptr) {
            std::atomic_ref(*files_done_).fetch_add(1, std::memory_order_relaxed);
        }
    }

    TreeAccount& account_;
    std::uint64_t* files_done_;
    DirectoryTaker* taker_ = nullptr;
    const FileJudge* judge_ = nullptr;
};

// A file left out for an error, unless the error ends every walk.
platform::OsResult<void> leave_out_unreadable(std::string_view root, walk::WalkPolicy& policy,
                                              platform::OsError error) {
    if (walk::ends_every_walk(error)) {
        return std::unexpected(std::move(error));
    }
    return policy.leave_out({root, walk::Omission::UnreadableFile, std::move(error)});
}

// A root that is a regular file: the one file of its tree.
platform::OsResult<void> walk_file(std::string_view root, walk::WalkPolicy& policy,
                                   platform::Cancellation& cancellation) {
    // Whatever the name leads to by now, only a regular file is opened.
    auto file = platform::open_regular_file(root);
    if (!file) {
        if (platform::refuses_non_regular_file(file.error())) {
            return policy.leave_out({root, walk::Omission::Vanished, std::nullopt});
        }
        return leave_out_unreadable(root, policy, std::move(file).error());
    }
    auto metadata = platform::query_open_file_metadata(*file);
    if (policy.excluded_file && metadata && metadata->identity == policy.excluded_file) {
        return policy.leave_out({root, walk::Omission::Excluded, std::nullopt});
    }
    std::optional<walk::ReadStatus> status;
    if (policy.records_reads) {
        const std::int64_t began_ns = platform::wall_clock_ns();
        if (auto asked = platform::query_open_file_status(*file)) {
            status = walk::ReadStatus{*asked, began_ns};
        }
    }
    auto digest = digest::digest_open_file(*file, cancellation, policy.bytes_done);
    platform::close_file(std::move(*file));
    if (!digest) {
        return leave_out_unreadable(root, policy, std::move(digest).error());
    }
    policy.add_file(root, *digest, status ? &*status : nullptr);
    return {};
}

// Only a part of the tree at `root`, a directory: its walk is the walk of a
// directory.
platform::OsResult<platform::FileType> walk_part(std::string_view root, const walk::WalkPart& part,
                                                 std::span<walk::WalkPolicy* const> policies,
                                                 platform::Cancellation& cancellation) {
    if (auto walked = walk::walk_part_with_workers(root, part, policies, cancellation); !walked) {
        return std::unexpected(std::move(walked).error());
    }
    return platform::FileType::Directory;
}

}  // namespace

platform::OsResult<platform::FileType> walk_tree(std::string_view root,
                                                 std::span<walk::WalkPolicy* const> policies,
                                                 platform::Cancellation& cancellation) {
    auto metadata = platform::query_metadata(root);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    platform::OsResult<void> walked;
    switch (metadata->type) {
        case platform::FileType::Directory:
            walked = walk::walk_directory_with_workers(root, policies, cancellation);
            break;
        case platform::FileType::RegularFile:
            walked = walk_file(root, *policies.front(), cancellation);
            break;
        case platform::FileType::Other:
            walked = policies.front()->leave_out({root, walk::Omission::SpecialFile, std::nullopt});
            break;
    }
    if (!walked) {
        return std::unexpected(std::move(walked).error());
    }
    return metadata->type;
}

platform::OsResult<TreeAccount> account_tree(std::string_view root, const AccountOptions& options,
                                             platform::Cancellation& cancellation) {
    for (std::uint64_t* count : {options.files_done, options.bytes_done}) {
        if (count != nullptr) {
            std::atomic_ref(*count).store(0, std::memory_order_relaxed);
        }
    }
    // Each worker into an account of its own, joined into one when all are
    // done.
    std::vector<TreeAccount> accounts(std::max<std::size_t>(options.jobs, 1));
    std::vector<AccountPolicy> policies;
    std::vector<walk::WalkPolicy*> workers;
    policies.reserve(accounts.size());
    for (TreeAccount& own : accounts) {
        workers.push_back(&policies.emplace_back(own, options));
    }
    auto root_type = options.part != nullptr ? walk_part(root, *options.part, workers, cancellation)
                                             : walk_tree(root, workers, cancellation);
    if (!root_type) {
        return std::unexpected(std::move(root_type).error());
    }
    TreeAccount account;
    account.root_type = *root_type;
    for (TreeAccount& own : accounts) {
        account.files.take_all(std::move(own.files));
        account.file_count += own.file_count;
        account.reads.insert(account.reads.end(), own.reads.begin(), own.reads.end());
        account.judged.insert(account.judged.end(), std::make_move_iterator(own.judged.begin()),
                              std::make_move_iterator(own.judged.end()));
        account.left_out.insert(account.left_out.end(),
                                std::make_move_iterator(own.left_out.begin()),
                                std::make_move_iterator(own.left_out.end()));
    }
    return account;
}

}  // namespace driftmoor::tree
