#include <linux/magic.h>
#include <sys/statfs.h>

#include <array>
#include <cstring>
#include <mutex>

#include "platform/linux/file_system_number.h"

namespace driftmoor::platform {
namespace {

// Magic numbers of file systems that <linux/magic.h> does not name.
constexpr unsigned long LUSTRE_MAGIC = 0x0BD00BD0;
constexpr unsigned long GPFS_MAGIC = 0x47504653;

// Marks an id the file system gave, so that it is never taken for a device
// number, whose top bit no Linux device has.
constexpr std::uint64_t SHARED_ID_MARK = std::uint64_t{1} << 63;

// File systems whose clients all report the same f_fsid for one file
// system. Local ones number themselves too (ext4 from its UUID), but only
// one machine sees them, where the device number says as much.
bool gives_shared_id(unsigned long type) noexcept {
    switch (type) {
        case NFS_SUPER_MAGIC:
        case LUSTRE_MAGIC:
        case CEPH_SUPER_MAGIC:
        case GPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// The number of the file system `about` describes, whose device is `device`.
std::uint64_t number_of(const struct statfs& about, std::uint64_t device) noexcept {
    if (!gives_shared_id(static_cast<unsigned long>(about.f_type))) {
        return device;
    }
    // fsid_t is two ints, whose meaning is the file system's: read as one
    // 64-bit number.
    std::uint64_t id = 0;
    static_assert(sizeof about.f_fsid == sizeof id);
    std::memcpy(&id, &about.f_fsid, sizeof id);
    // An NFS client of an older kernel reports 0: no id, so the device
    // number.
    return id == 0 ? device : (id | SHARED_ID_MARK);
}

// The devices whose numbers were asked, most recent first: a walk meets a
// few file systems, rarely more than this.
struct Remembered {
    std::uint64_t device;
    std::uint64_t number;
};
constexpr std::size_t REMEMBERED = 16;
std::mutex remembered_mutex;
std::array<Remembered, REMEMBERED> remembered;  // guarded by remembered_mutex
std::size_t remembered_count = 0;               // guarded by remembered_mutex

}  // namespace

std::uint64_t shared_device_number(int descriptor, std::uint64_t device) noexcept {
    struct statfs about;
    return ::fstatfs(descriptor, &about) == 0 ? number_of(about, device) : device;
}

std::uint64_t remembered_shared_device_number(std::uint64_t device, int descriptor,
                                              const char* path) noexcept {
    {
        const std::scoped_lock lock(remembered_mutex);
        for (std::size_t at = 0; at < remembered_count; ++at) {
            if (remembered[at].device == device) {
                return remembered[at].number;
            }
        }
    }
    struct statfs about;
    const int asked = descriptor >= 0   ? ::fstatfs(descriptor, &about)
                      : path != nullptr ? ::statfs(path, &about)
                                        : -1;
    if (asked != 0) {
        return device;  // not remembered: asked again next time
    }
    const std::uint64_t number = number_of(about, device);
    const std::scoped_lock lock(remembered_mutex);
    // The oldest goes when all places are taken.
    const std::size_t kept = remembered_count < REMEMBERED ? remembered_count++ : REMEMBERED - 1;
    for (std::size_t at = kept; at > 0; --at) {
        remembered[at] = remembered[at - 1];
    }
    remembered[0] = {device, number};
    return number;
}

}  // namespace driftmoor::platform
