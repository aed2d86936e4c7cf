#include "tree/file_by_name.h"

#include <atomic>

#include "platform/clock.h"
#include "platform/listing.h"
#include "platform/metadata.h"

namespace driftmoor::tree {

platform::OsResult<digest::Sha256Digest> read_regular_file(std::string_view path,
                                                           const AccountOptions& options,
                                                           platform::Cancellation& cancellation,
                                                           std::optional<walk::ReadStatus>* read) {
    auto file = platform::open_regular_file(path);
    if (!file) {
        return std::unexpected(std::move(file).error());
    }
    if (read != nullptr) {
        const std::int64_t began_ns = platform::wall_clock_ns();
        if (auto status = platform::query_open_file_status(*file)) {
            *read = walk::ReadStatus{*status, began_ns};
        }
    }
    auto digest = digest::digest_open_file(*file, cancellation, options.bytes_done);
    platform::close_file(std::move(*file));
    if (digest && options.files_done != nullptr) {
        std::atomic_ref(*options.files_done).fetch_add(1, std::memory_order_relaxed);
    }
    return digest;
}

}  // namespace driftmoor::tree
