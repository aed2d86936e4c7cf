// Equality of two byte strings in time that depends only on their lengths.
#pragma once

#include <string_view>

namespace driftmoor::digest {

// False at once when the lengths differ (a length is not a secret: two digests
// always have the same one). Otherwise every byte of both inputs is read, with
// no branch or early exit that depends on their contents, so the time taken
// does not reveal where, or whether, they differ.
bool constant_time_equal(std::string_view a, std::string_view b) noexcept;

}  // namespace driftmoor::digest
