// The manifest of a directory tree: existence check, walk, table.
#pragma once

#include <expected>
#include <string_view>
#include <variant>

#include "manifest/manifest_table.h"
#include "platform/cancellation.h"
#include "platform/os_error.h"

namespace driftmoor::manifest {

// The path named nothing that could be examined. Why is not kept: callers
// are told only that the directory does not exist.
struct DirectoryMissing {};

using ManifestFailure = std::variant<DirectoryMissing, platform::OsError>;

// Creates the call's table (advancing the thread's hashing seed even if the
// call then fails; failing with the random source's error if the thread has
// no seed and none can be drawn), checks that `dir_path` names something, and
// walks it. A path that names a file gives an empty table. On failure nothing
// of the table survives.
std::expected<ManifestTable, ManifestFailure> calculate_manifest(
    std::string_view dir_path, platform::Cancellation& cancellation);
std::expected<ManifestTable, ManifestFailure> calculate_manifest(std::string_view dir_path);

}  // namespace driftmoor::manifest
