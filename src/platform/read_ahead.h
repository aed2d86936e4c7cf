// Reading files ahead of their turn: a caller that will read many small files
// one after another holds a few of them open early and asks the system to
// start fetching their bytes, so the disk works on the next files while the
// caller hashes this one, without a thread of the caller's own.
#pragma once

#include <cstddef>

#include "platform/file.h"

namespace driftmoor::platform {

// How many files a caller may hold open ahead of the one it reads: a small
// share of the descriptors the process may open, so that reading ahead never
// crowds out the opens the caller cannot do without. 0 where the platform
// does not read ahead.
std::size_t read_ahead_window() noexcept;

// Asks the system to start fetching the first bytes of `file` into memory and
// returns without waiting for them. Only a hint: nothing is reported, and the
// file reads the same whether or not the system took it.
void start_read_ahead(const FileHandle& file) noexcept;

}  // namespace driftmoor::platform
