// How a path is written on a line of a manifest, a report or a message, and
// read back: the one definition of the rule, for every place that writes or
// reads a line.
//
// A path is its bytes, with three escaped so that one line stays one path:
// a backslash as `\\`, a line feed as `\n`, a carriage return as `\r` (GNU
// sha256sum's escapes; it reads `\r` back too). A manifest or report line
// holding an escaped path starts with a backslash, which marks it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace driftmoor::tree {

// Whether the path holds a byte that a line must escape.
bool needs_escape(std::string_view path) noexcept;

// Appends the path to `out`, escaped.
void append_escaped(std::string& out, std::string_view path);

// The path that an escaped text stands for; none when the text holds a
// backslash followed by anything but `\`, `n` or `r` (or by nothing).
std::optional<std::string> unescaped(std::string_view text);

}  // namespace driftmoor::tree
