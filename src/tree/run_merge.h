// The sorted runs of a tree's files that the machines of a cluster send
// back, one per part of the tree, merged into the one sorted order of the
// whole tree as they arrive: a file is final, and given out, once no part
// still being walked can hold a path before it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driftmoor::tree {

class RunMerge {
  public:
    // Takes a run (part_run.h's form) of the files below `directory`, a
    // path as the output shows it: each name is joined to it as the walk
    // joins names, and the empty name stands for `directory` itself. False,
    // taking nothing, when the run is not of that form (cut short, its names
    // out of order or repeated, or an empty name beside others) or holds a
    // file that was not read.
    bool add(std::string_view directory, std::string run);

    // Gives out, in the order of their paths' bytes, the files whose paths
    // sort before `limit` (none: every file held), each to
    // `emit(path, digest)` (the path valid during the call, the digest's 32
    // bytes), until `emit` returns false after taking one.
    template <class Emit>
    void drain(std::optional<std::string_view> limit, Emit&& emit) {
        while (!heap_.empty()) {
            Cursor& first = *heap_.front();
            if (limit && std::string_view(first.path) >= *limit) {
                return;
            }
            const bool more = emit(std::string_view(first.path), first.digest);
            --held_files_;
            if (!advance(first)) {
                held_runs_bytes_ -= first.run.size();
                heap_.front() = std::move(heap_.back());
                heap_.pop_back();
            }
            // The run that gave the file stays in front while its next file
            // comes first too: parts are directories, whose runs seldom
            // interleave, so this mostly costs two comparisons.
            sift_down();
            if (!more) {
                return;
            }
        }
    }

    // Files held, not given out yet.
    std::size_t held_files() const noexcept { return held_files_; }
    // The bytes of the runs that hold them.
    std::size_t held_bytes() const noexcept { return held_runs_bytes_; }

  private:
    struct Cursor {
        std::string directory;  // with the separator a name is joined after
        std::string run;
        std::size_t next = 0;  // where the record after the current one starts
        std::string path;      // the current record's
        const unsigned char* digest = nullptr;
    };

    // Moves the cursor to its next record; false at the run's end.
    static bool advance(Cursor& cursor);
    // Puts the front cursor where it belongs in the heap.
    void sift_down() noexcept;

    static bool later(const std::unique_ptr<Cursor>& a, const std::unique_ptr<Cursor>& b) {
        return std::string_view(a->path) > std::string_view(b->path);
    }

    std::vector<std::unique_ptr<Cursor>> heap_;  // the one with the first path at the front
    std::size_t held_files_ = 0;
    std::size_t held_runs_bytes_ = 0;
};

}  // namespace driftmoor::tree
