// The path as Windows calls take it: UTF-16 with one terminating NUL, built
// afresh for each operation and owned by it.
#pragma once

#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace driftmoor::platform {

// The platform path of a path text, or the failure that prevents one. A text
// holding a NUL fails before any Windows call. Short drive, UNC and device
// paths, verbatim paths and the empty path go to Windows as written; every
// other path is made absolute by Windows and given the verbatim prefix, so
// that neither its length nor a reserved name can change what it names.
OsResult<std::wstring> prepare_platform_path(std::string_view path_text);

}  // namespace driftmoor::platform
