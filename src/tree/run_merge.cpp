#include "tree/run_merge.h"

#include "tree/part_run.h"

namespace driftmoor::tree {

bool RunMerge::add(std::string_view directory, std::string run) {
    // Only files read: nothing is taken unread for a manifest.
    const auto files = read_file_count(run);
    if (!files) {
        return false;
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

void RunMerge::sift_down() noexcept {
    const std::size_t size = heap_.size();
    std::size_t at = 0;
    while (true) {
        const std::size_t left = 2 * at + 1;
        if (left >= size) {
            return;
        }
        std::size_t least = left;
        if (left + 1 < size && later(heap_[left], heap_[left + 1])) {
            least = left + 1;
        }
        if (!later(heap_[at], heap_[least])) {
            return;
        }
        std::swap(heap_[at], heap_[least]);
        at = least;
    }
}

}  // namespace driftmoor::tree
