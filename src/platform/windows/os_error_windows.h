// How a Windows message lookup becomes text, apart from the lookup itself, so
// that both fallbacks can be checked whatever messages the system has.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace driftmoor::platform {

// The text when FormatMessageW failed for `code` (as it was asked for) with
// `last_error`.
std::string message_lookup_failed(std::int32_t code, std::int32_t last_error);

// The text FormatMessageW returned for `code`: its units as UTF-8, end
// trimmed, or the invalid-UTF-16 fallback when they hold an unpaired
// surrogate.
std::string message_from_units(std::int32_t code, std::wstring_view units);

}  // namespace driftmoor::platform
