#include "manifest/directory_manifest.h"

#include "manifest/directory_walk.h"
#include "platform/metadata.h"

namespace driftmoor::manifest {

std::expected<ManifestTable, ManifestFailure> calculate_manifest(std::string_view dir_path,
                                                                 Cancellation& cancellation) {
    ManifestTable table = ManifestTable::create();
    if (!platform::query_metadata(dir_path)) {
        return std::unexpected(DirectoryMissing{});
    }
    if (auto walked = walk_directory(dir_path, table, cancellation); !walked) {
        return std::unexpected(std::move(walked).error());
    }
    return table;
}

std::expected<ManifestTable, ManifestFailure> calculate_manifest(std::string_view dir_path) {
    Cancellation never;
    return calculate_manifest(dir_path, never);
}

}  // namespace driftmoor::manifest
