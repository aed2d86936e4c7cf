#include "tree/run_merge.h"

#include "tree/part_run.h"

namespace driftmoor::tree {

bool RunMerge::add(std::string_view directory, std::string run) {
    const auto files = run_file_count(run);
    if (!files) {
        return false;
    }
    // Only files read: nothing is taken unread for a manifest.
    for (std::size_t at = 0; at < run.size();) {
        const RunRecord record = *run_record_at(run, at);
        if (record.digest == nullptr) {
            return false;
        }
        at = record.next;
    }
    if (*files == 0) {
        return true;
    }
    auto cursor = std::make_unique<Cursor>();
    cursor->directory = run_prefix(directory, run);
    cursor->run = std::move(run);
    advance(*cursor);
    held_files_ += *files;
    held_runs_bytes_ += cursor->run.size();
    heap_.push_back(std::move(cursor));
    std::ranges::push_heap(heap_, later);
    return true;
}

bool RunMerge::advance(Cursor& cursor) {
    if (cursor.next >= cursor.run.size()) {
        return false;
    }
    // Checked whole when the run was added.
    const RunRecord record = *run_record_at(cursor.run, cursor.next);
    cursor.path.assign(cursor.directory);
    cursor.path.append(record.name);
    cursor.digest = record.digest;
    cursor.next = record.next;
    return true;
}

}  // namespace driftmoor::tree
