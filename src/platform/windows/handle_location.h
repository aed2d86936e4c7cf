// Where an open handle's file or directory lies, as Windows tells it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace driftmoor::platform {

// The final path of what `handle` is open on (links and junctions
// resolved), as path text without the verbatim prefix; none where Windows
// cannot tell.
std::optional<std::string> handle_location(HANDLE handle);

}  // namespace driftmoor::platform
