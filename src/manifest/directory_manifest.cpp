#include "manifest/directory_manifest.h"

#include "platform/metadata.h"
#include "walk/directory_walk.h"

namespace driftmoor::manifest {
namespace {

// The manifest's use of the walk: Unicode keys only, every file that cannot
// be read left out in silence, and no result at all when a directory cannot
// be listed.
class TablePolicy final : public walk::WalkPolicy {
  public:
    explicit TablePolicy(ManifestTable& table) noexcept : table_(table) {}

    void add_file(std::string_view path, const digest::Sha256Digest& digest,
                  const walk::ReadStatus*) override {
        table_.insert(path, digest);
    }

    platform::OsResult<void> leave_out(walk::LeftOut left_out) override {
        if (left_out.omission == walk::Omission::UnlistableDirectory) {
            return std::unexpected(std::move(*left_out.error));
        }
        return {};
    }

  private:
    ManifestTable& table_;
};

}  // namespace

std::expected<ManifestTable, ManifestFailure> calculate_manifest(
    std::string_view dir_path, platform::Cancellation& cancellation) {
    auto table = ManifestTable::create();
    if (!table) {
        return std::unexpected(std::move(table).error());
    }
    if (!platform::query_metadata(dir_path)) {
        return std::unexpected(DirectoryMissing{});
    }
    TablePolicy policy(*table);
    if (auto walked = walk::walk_directory(dir_path, policy, cancellation); !walked) {
        return std::unexpected(std::move(walked).error());
    }
    return std::move(*table);
}

std::expected<ManifestTable, ManifestFailure> calculate_manifest(std::string_view dir_path) {
    platform::Cancellation never;
    return calculate_manifest(dir_path, never);
}

}  // namespace driftmoor::manifest
