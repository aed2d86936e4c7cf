// Walking a directory tree into a manifest table.
#pragma once

#include <string_view>

#include "common/cancellation.h"
#include "manifest/manifest_table.h"
#include "platform/os_error.h"

namespace driftmoor::manifest {

// Adds every regular file at or below the directory at `directory_path` to
// `table`, keyed by its path: `directory_path` exactly as given, then the
// names on the way down. Depth first, in listing order, following links.
//
// A path that is not a directory adds nothing. A directory that cannot be
// listed or read to its end fails the walk with that error. A file that
// cannot be opened or read is left out, as is everything that is not a
// regular file (devices, pipes, sockets are never opened) and every path
// with no Unicode text; but running out of descriptors or memory fails the
// walk rather than leave a file out. A directory already on the way down
// (a link to an ancestor) is passed over, so every walk ends. Between
// entries and reads `cancellation` may end the walk with its own error.
platform::OsResult<void> walk_directory(std::string_view directory_path, ManifestTable& table,
                                        Cancellation& cancellation);

}  // namespace driftmoor::manifest
