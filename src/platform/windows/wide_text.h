// Path texts (WTF-8) to and from the UTF-16 that Windows calls take.
//
// WTF-8 is UTF-8 that may also hold unpaired surrogates, each as the
// three-byte form of its code point. Windows names are sequences of 16-bit
// units that need not be valid UTF-16, and WTF-8 is what carries every such
// name through the module and back to Windows unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace driftmoor::platform {

// The units of a WTF-8 text: each code point as UTF-16, a surrogate code
// point as its single unit. Path texts never hold anything else; should a
// byte fit no sequence, it becomes U+FFFD rather than be dropped.
std::wstring wtf8_to_utf16(std::string_view text);

// The WTF-8 form of any sequence of units. Lossless: pairs become the
// four-byte form of their code point, and an unpaired surrogate the
// three-byte form of its own.
std::string utf16_to_wtf8(std::wstring_view units);

// The UTF-8 form of units that are valid UTF-16; none when one is an
// unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::wstring_view units);

}  // namespace driftmoor::platform
