// A file read under the name a manifest gives it, as `sha256sum -c` reads
// it: wherever its links lead, but only if it is a regular file.
#pragma once

#include <optional>
#include <string_view>

#include "digest/file_digest.h"
#include "platform/cancellation.h"
#include "platform/os_error.h"
#include "tree/tree_account.h"
#include "walk/directory_walk.h"

namespace driftmoor::tree {

// The digest of the regular file at `path`. Anything else (a pipe, a
// device, a directory) is refused unopened, and no read waits for a writer.
// Counts the file and its bytes where `options` keeps counts. Where `read`
// is given, it is set to how the file was when its reading began, if the
// system could tell.
platform::OsResult<digest::Sha256Digest> read_regular_file(
    std::string_view path, const AccountOptions& options, platform::Cancellation& cancellation,
    std::optional<walk::ReadStatus>* read = nullptr);

}  // namespace driftmoor::tree
