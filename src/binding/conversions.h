// Plain results into Python objects.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "binding/py_ref.h"
#include "platform/os_error.h"

namespace driftmoor::binding {

// Takes a new reference that the module needs inside a call. A null means the
// interpreter could not create the object. For want of memory that is the
// caller's MemoryError, like any allocation that fails (std::bad_alloc is
// thrown, and the call wrapper raises it as MemoryError). Anything else is
// reported as unraisable and becomes an internal failure ("PyObject pointer
// is null"), because no body can go on without the object it asked for.
PyRef created_or_panic(PyObject* new_reference,
                       std::source_location where = std::source_location::current());

// A new str holding UTF-8 text. A failure is reported at the caller's line.
PyRef text_to_str(std::string_view utf8,
                  std::source_location where = std::source_location::current());

// A new str holding a message in `encoding`, whatever its bytes: text in the
// locale's encoding is decoded as Python decodes the system's messages
// (os.strerror), and bytes that do not decode are kept as surrogate escapes,
// as are those of UTF-8 that is not valid. So an error's text can never be
// the reason its exception cannot be raised.
PyRef message_to_str(const std::string& text, platform::TextEncoding encoding,
                     std::source_location where = std::source_location::current());

// A new reference to True or False.
PyRef bool_to_py(bool value) noexcept;

}  // namespace driftmoor::binding
