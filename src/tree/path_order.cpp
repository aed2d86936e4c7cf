#include "tree/path_order.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace driftmoor::tree {
namespace {

using path_order_detail::Keyed;
using PathOf = std::string_view (*)(const void* items, std::uint32_t index);

// A function object rather than a function, so that the sort inlines it.
struct Before {
    bool operator()(const Keyed& a, const Keyed& b) const noexcept {
        // Equal keys with fewer bytes filled: the shorter path ends there,
        // and is a start of the longer one (its zero padding matched real
        // bytes).
        return a.key != b.key ? a.key < b.key : a.filled < b.filled;
    }
};

// A group of entries, all of whose paths agree on their first `offset` bytes.
struct Run {
    std::size_t begin;
    std::size_t end;
    std::size_t offset;
};

std::uint64_t key_at(std::string_view path, std::size_t offset, std::uint32_t& filled) noexcept {
    unsigned char bytes[8] = {};
    const std::size_t count =
        offset < path.size() ? std::min<std::size_t>(8, path.size() - offset) : 0;
    if (count != 0) {
        std::memcpy(bytes, path.data() + offset, count);
    }
    filled = static_cast<std::uint32_t>(count);
    std::uint64_t key = 0;
    for (const unsigned char byte : bytes) {
        key = (key << 8) | byte;
    }
    return key;
}

// How many bytes past `offset` every path of the run shares.
std::size_t shared_start(const void* items, PathOf path_of, std::span<const Keyed> run,
                         std::size_t offset) noexcept {
    const std::string_view first = path_of(items, run.front().index);
    std::size_t shared = first.size() - std::min(first.size(), offset);
    for (const Keyed& keyed : run.subspan(1)) {
        if (shared == 0) {
            break;
        }
        const std::string_view path = path_of(items, keyed.index);
        const std::size_t length = std::min(shared, path.size() - std::min(path.size(), offset));
        std::size_t same = 0;
        while (same < length && path[offset + same] == first[offset + same]) {
            ++same;
        }
        shared = same;
    }
    return shared;
}

}  // namespace

namespace path_order_detail {

void sort_keyed(std::span<Keyed> order, const void* items, PathOf path_of) {
    // Runs still to sort, deepest last: a loop, not recursion, however long
    // the paths that share a start.
    std::vector<Run> pending{{0, order.size(), 0}};
    while (!pending.empty()) {
        Run run = pending.back();
        pending.pop_back();
        const std::span<Keyed> keyed = order.subspan(run.begin, run.end - run.begin);
        run.offset += shared_start(items, path_of, keyed, run.offset);
        for (Keyed& item : keyed) {
            item.key = key_at(path_of(items, item.index), run.offset, item.filled);
        }
        std::ranges::sort(keyed, Before{});
        // Items that agree on all eight bytes are told apart further on;
        // those that agree on fewer have ended, and are in place.
        for (std::size_t group = 0; group < keyed.size();) {
            std::size_t next = group + 1;
            while (next < keyed.size() && keyed[next].key == keyed[group].key &&
                   keyed[next].filled == keyed[group].filled) {
                ++next;
            }
            if (next - group > 1 && keyed[group].filled == 8) {
                pending.push_back({run.begin + group, run.begin + next, run.offset + 8});
            }
            group = next;
        }
    }
}

}  // namespace path_order_detail

void sort_by_path(std::span<PathEntry> entries) {
    std::vector<PathEntry> sorted(entries.begin(), entries.end());
    sort_by_path(sorted, [](const PathEntry& entry) { return entry.first; });
    std::ranges::copy(sorted, entries.begin());
}

}  // namespace driftmoor::tree
