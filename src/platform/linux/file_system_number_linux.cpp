#include <linux/magic.h>
#include <sys/statfs.h>

#include <cstring>

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

}  // namespace

std::uint64_t shared_device_number(int descriptor, std::uint64_t device) noexcept {
    struct statfs about;
    if (::fstatfs(descriptor, &about) != 0 ||
        !gives_shared_id(static_cast<unsigned long>(about.f_type))) {
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

}  // namespace driftmoor::platform
