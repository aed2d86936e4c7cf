// The number a file system is known by on every machine that mounts it,
// where it has one: what lets machines that share a tree name its
// directories alike.
#pragma once

#include <cstdint>

namespace driftmoor::platform {

// The file system of `descriptor` (whose st_dev is `device`), numbered as
// every client of it numbers it: a network or cluster file system that
// gives all its clients one id (statfs's f_fsid: the server's fsid on NFS,
// the file system's own on Lustre, CephFS and GPFS) answers that id with the
// top bit set; any other file system, or one that gives no id (0), answers
// `device` itself, as one machine numbers it. One fstatfs, which is a round
// trip to the server on NFS: callers ask once per file system met, not per
// directory.
std::uint64_t shared_device_number(int descriptor, std::uint64_t device) noexcept;

// The same, for a file's status: remembered by device number for the life
// of the process, so that the file system is asked once, not once per file
// (a status is asked of every file a check with a state meets). The file
// system is found by `descriptor`, or by `path` when it is -1; a device
// number that another file system takes later in the life of the process
// keeps the first one's number (its files are then read again elsewhere,
// never taken for another machine's).
std::uint64_t remembered_shared_device_number(std::uint64_t device, int descriptor,
                                              const char* path) noexcept;

}  // namespace driftmoor::platform
