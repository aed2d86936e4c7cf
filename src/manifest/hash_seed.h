// The hashing key of each manifest table, from a seed kept per thread.
#pragma once

#include "manifest/siphash13.h"
#include "platform/os_error.h"

namespace driftmoor::manifest {

// The key for a new table on the calling thread. The thread's first call
// draws 16 bytes from the kernel's random source (k0 from bytes 0-7, k1 from
// bytes 8-15, both little-endian); every call hands out the current key and
// then advances k0 by one, so no two tables of a thread share a key. Without
// a random source the call fails, and the next call on the thread tries the
// source again: a key anyone could predict is never handed out.
platform::OsResult<SipKey> next_table_key();

}  // namespace driftmoor::manifest
