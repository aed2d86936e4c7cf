#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/read_ahead.h"

namespace driftmoor::platform {
namespace {

// Enough files ahead to keep a disk's queue full; more only holds page cache
// and descriptors longer without making the disk any faster.
constexpr std::size_t LARGEST_WINDOW = 64;
// The window takes at most this share of the soft descriptor limit.
constexpr std::size_t LIMIT_SHARE_DIVISOR = 16;
// Asked for per file: all of a small file, and for a large one enough to
// start on until the kernel's own read-ahead follows the reader. Bounded so
// that a window of large files does not pull gigabytes into the page cache.
constexpr off_t BYTES_AHEAD = 256 * 1024;

}  // namespace

std::size_t read_ahead_window() noexcept {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return LARGEST_WINDOW;
    }
    return std::min<rlim_t>(LARGEST_WINDOW, limit.rlim_cur / LIMIT_SHARE_DIVISOR);
}

void start_read_ahead(const FileHandle& file) noexcept {
    // The answer is ignored: a file system that cannot read ahead leaves the
    // file to be read at its turn, as it would have been anyway.
    ::posix_fadvise(static_cast<int>(file.native()), 0, BYTES_AHEAD, POSIX_FADV_WILLNEED);
}

}  // namespace driftmoor::platform
