// The files a manifest lists, in the order of the paths a check reads them
// at, and each found by its path: the manifest's own order where no path
// moves, else the order of the paths moved to another tree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tree/listed_manifest.h"

namespace driftmoor::tree {

// A listed file's path where a check reads it: the manifest's path, or the
// rest of it put after the start of another tree, in two pieces so that no
// path of a manifest of millions is copied to be compared.
struct CheckedPath {
    std::string_view head;
    std::string_view tail;

    // As std::string_view::compare: the order of the bytes.
    int compare(std::string_view other) const noexcept;
    int compare(const CheckedPath& other) const noexcept;
    bool starts_with(std::string_view prefix) const noexcept;
    // The path as one text: the tail itself, or the two in `buffer`.
    std::string_view view(std::string& buffer) const;
    void assign_to(std::string& text) const;
};

class ListedPlaces {
  public:
    static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);

    // A relative path that starts with `listed_start` is read at
    // `checked_start` and the rest of it; every other path where it is.
    // The manifest must be sealed, and outlive this.
    ListedPlaces(const ListedManifest& listed, std::string_view listed_start,
                 std::string_view checked_start);

    std::size_t size() const noexcept { return listed_.size(); }
    // The place in the manifest of the file at `index` in the checked order.
    std::size_t place(std::size_t index) const noexcept {
        return order_.empty() ? index : order_[index];
    }
    CheckedPath path(std::size_t index) const noexcept { return path_of(place(index)); }

    // The paths of one directory lie side by side in the checked order: a
    // worker keeps the span of the directory it last looked in, and looks
    // for each file within it.
    struct DirectoryRange {
        std::string directory;
        std::size_t first = 0;
        std::size_t end = 0;
        bool known = false;
    };
    // The index in the checked order of the file read at `path`, or
    // NOT_FOUND.
    std::size_t find(std::string_view path, DirectoryRange& range) const;

  private:
    CheckedPath path_of(std::size_t place) const noexcept;

    const ListedManifest& listed_;
    std::string listed_start_;
    std::string checked_start_;
    bool moves_;
    std::vector<std::size_t> order_;  // empty where no path moves
};

}  // namespace driftmoor::tree
