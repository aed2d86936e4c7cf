#include "tree/listed_places.h"

#include <algorithm>
#include <iterator>

#include "tree/path_spelling.h"

namespace driftmoor::tree {

int CheckedPath::compare(std::string_view other) const noexcept {
    const std::size_t shared = std::min(head.size(), other.size());
    if (const int order = head.substr(0, shared).compare(other.substr(0, shared)); order != 0) {
        return order;
    }
    if (other.size() < head.size()) {
        return 1;
    }
    return tail.compare(other.substr(head.size()));
}

int CheckedPath::compare(const CheckedPath& other) const noexcept {
    std::string_view mine = head;
    std::string_view theirs = other.head;
    bool mine_in_tail = false;
    bool theirs_in_tail = false;
    for (;;) {
        if (mine.empty() && !mine_in_tail) {
            mine = tail;
            mine_in_tail = true;
            continue;
        }
        if (theirs.empty() && !theirs_in_tail) {
            theirs = other.tail;
            theirs_in_tail = true;
            continue;
        }
        // What is empty now is at its end.
        if (mine.empty()) {
            return theirs.empty() ? 0 : -1;
        }
        if (theirs.empty()) {
            return 1;
        }
        const std::size_t shared = std::min(mine.size(), theirs.size());
        if (const int order = mine.substr(0, shared).compare(theirs.substr(0, shared));
            order != 0) {
            return order;
        }
        mine.remove_prefix(shared);
        theirs.remove_prefix(shared);
    }
}

bool CheckedPath::starts_with(std::string_view prefix) const noexcept {
    if (prefix.size() <= head.size()) {
        return head.starts_with(prefix);
    }
    return prefix.starts_with(head) && tail.starts_with(prefix.substr(head.size()));
}

std::string_view CheckedPath::view(std::string& buffer) const {
    if (head.empty()) {
        return tail;
    }
    assign_to(buffer);
    return buffer;
}

void CheckedPath::assign_to(std::string& text) const {
    text.assign(head);
    text += tail;
}

ListedPlaces::ListedPlaces(const ListedManifest& listed, std::string_view listed_start,
                           std::string_view checked_start)
    : listed_(listed),
      listed_start_(listed_start),
      checked_start_(checked_start),
      moves_(listed_start != checked_start) {
    if (!moves_) {
        return;
    }
    // The paths that move keep their order among themselves, as do those
    // that stay: the checked order is the two merged.
    const auto files = listed_.files();
    std::vector<std::size_t> moved;
    std::vector<std::size_t> staying;
    for (std::size_t place = 0; place < files.size(); ++place) {
        (path_of(place).head.empty() ? staying : moved).push_back(place);
    }
    order_.reserve(files.size());
    std::ranges::merge(
        moved, staying, std::back_inserter(order_),
        [&](std::size_t a, std::size_t b) { return path_of(a).compare(path_of(b)) < 0; });
}

CheckedPath ListedPlaces::path_of(std::size_t place) const noexcept {
    const std::string_view key = listed_.files()[place]->key();
    if (moves_ && !key.starts_with('/') && key.starts_with(listed_start_)) {
        return {checked_start_, key.substr(listed_start_.size())};
    }
    return {{}, key};
}

std::size_t ListedPlaces::find(std::string_view path, DirectoryRange& range) const {
    const std::string_view directory = directory_of(path);
    if (!range.known || range.directory != directory) {
        const auto index_after = [&](std::size_t from, auto&& before) {
            std::size_t low = from;
            std::size_t high = size();
            while (low < high) {
                const std::size_t middle = low + (high - low) / 2;
                if (before(this->path(middle))) {
                    low = middle + 1;
                } else {
                    high = middle;
                }
            }
            return low;
        };
        range.directory.assign(directory);
        range.first = index_after(
            0, [&](const CheckedPath& listed) { return listed.compare(directory) < 0; });
        range.end = index_after(
            range.first, [&](const CheckedPath& listed) { return listed.starts_with(directory); });
        range.known = true;
    }
    std::size_t low = range.first;
    std::size_t high = range.end;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (this->path(middle).compare(path) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < range.end && this->path(low).compare(path) == 0 ? low : NOT_FOUND;
}

}  // namespace driftmoor::tree
