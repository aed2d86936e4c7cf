#include "tree/file_by_name.h"

#include <atomic>

#include "platform/listing.h"

namespace driftmoor::tree {

platform::OsResult<digest::Sha256Digest> read_regular_file(std::string_view path,
                                                           const AccountOptions& options,
                                                           platform::Cancellation& cancellation) {
    auto file = platform::open_regular_file(path);
    if (!file) {
        return std::unexpected(std::move(file).error());
    }
    auto digest = digest::digest_open_file(*file, cancellation, options.bytes_done);
    platform::close_file(std::move(*file));
    if (digest && options.files_done != nullptr) {
        std::atomic_ref(*options.files_done).fetch_add(1, std::memory_order_relaxed);
    }
    return digest;
}

}  // namespace driftmoor::tree
