// The lines of a manifest file, sorted and formatted where it is cheapest.
#pragma once

#include <string>
#include <string_view>

#include "binding/failure.h"

namespace driftmoor::binding {

enum class LineStyle {
    Sha256sum,  // "<digest>  <path>", as sha256sum writes it
    Bsd,        // "SHA256 (<path>) = <digest>", as sha256sum --tag writes it
};

// The lines of `files` (a dict of path bytes to digest str), sorted by the
// paths' bytes, as a list of bytes objects each holding whole lines and about
// 64 KiB at most, for a writer to write and check one at a time. A path
// holding a backslash, line feed or carriage return is escaped as "\\",
// "\n", "\r", and its line then starts with a backslash.
Outcome<PyRef> manifest_lines(PyObject* files, LineStyle style);

// Appends the line of one file to `out`, escaped and marked so.
void append_manifest_line(std::string& out, std::string_view path, std::string_view digest,
                          LineStyle style);

}  // namespace driftmoor::binding
