// The binding's texts that reach Python callers, all of them here (the
// platform layer's are in platform/fixed_texts.h).
//
// These texts are fixed by compatibility, not chosen: callers match on them
// (`except TypeError as e: if "missing 1 required" in str(e)`), results
// stored by earlier runs and other implementations of this module are
// compared with them, and the tests pin each one byte for byte. Never
// reword, re-case or re-punctuate one, though some read oddly ("takes 1
// positional arguments"); a new text that callers will see belongs here too.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace driftmoor::binding {

// --- Internal failures ------------------------------------------------------

// The class of internal failures: its dotted name (so its __module__ is
// "harrow_runtime" and its __name__ "PanicException") and its docstring.
inline constexpr const char* PANIC_EXCEPTION_NAME = "harrow_runtime.PanicException";
inline constexpr const char* PANIC_EXCEPTION_DOC =
    "\nThe exception raised when Ostrel code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
// The PanicException message of an internal failure that carried no text.
inline constexpr std::string_view PANIC_WITHOUT_TEXT = "panic from Ostrel code";
// What the failure trap of every call wrapper reports when a failure escapes
// while an outcome is being converted; the process is then aborted.
inline constexpr std::string_view TRAP_MESSAGE = "uncaught panic at ffi boundary";
// The internal failure when the interpreter cannot create an object a body
// needs, and when it cannot create the PanicException class itself.
inline constexpr std::string_view OBJECT_NOT_CREATED = "PyObject pointer is null";
inline constexpr std::string_view EXCEPTION_CLASS_NOT_CREATED =
    "Failed to initialize new exception type.";
// The SystemError when an interpreter call failed but set no exception.
inline constexpr std::string_view NO_EXCEPTION_SET =
    "attempted to fetch exception but none was set";

// --- calculate_directory_manifest -------------------------------------------

// The FileNotFoundError when dir_path cannot be examined at all.
inline constexpr std::string_view DIRECTORY_MISSING_MESSAGE =
    "The specified directory does not exist";

// --- Binding a call's arguments ---------------------------------------------
// TypeErrors worded as Python words its own; `function` is the function's
// name, which each message begins with as "name()". (Composed by appending:
// GCC 12 warns falsely on a literal added to a temporary string.)

// Joins the parts into one text.
inline std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

inline std::string too_many_positional_message(std::string_view function, std::size_t count,
                                               std::size_t given) {
    return joined({function, "() takes ", std::to_string(count), " positional arguments but ",
                   std::to_string(given), given == 1 ? " was" : " were", " given"});
}

inline std::string unexpected_keyword_message(std::string_view function, std::string_view keyword) {
    return joined({function, "() got an unexpected keyword argument '", keyword, "'"});
}

inline std::string multiple_values_message(std::string_view function, std::string_view parameter) {
    return joined({function, "() got multiple values for argument '", parameter, "'"});
}

// "... missing 1 required positional argument: 'a'", "... 2 ... arguments:
// 'a' and 'b'", "... 3 ... arguments: 'a', 'b', and 'c'".
inline std::string missing_positional_message(std::string_view function,
                                              std::span<const std::string_view> missing) {
    std::string message =
        joined({function, "() missing ", std::to_string(missing.size()), " required positional ",
                missing.size() == 1 ? "argument" : "arguments", ": "});
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        }
        message += joined({"'", missing[i], "'"});
    }
    return message;
}

// An unexpected keyword whose str() fails, named by its type if that has a
// name, else not at all.
inline std::string unprintable_object_text(std::string_view type_name) {
    return joined({"<unprintable ", type_name, " object>"});
}
inline constexpr std::string_view UNPRINTABLE_OBJECT = "<unprintable object>";

// An argument of the wrong type: None, or an object of the type named (or
// of a type whose name cannot be had).
inline std::string none_is_not_an_instance_message(std::string_view expected_type) {
    return joined({"'None' is not an instance of '", expected_type, "'"});
}
inline std::string not_an_instance_message(std::string_view type_name,
                                           std::string_view expected_type) {
    return joined({"'", type_name, "' object is not an instance of '", expected_type, "'"});
}
inline constexpr std::string_view TYPE_NAME_NOT_EXTRACTED = "<failed to extract type name>";

// The note added to the exception of an argument that could not be taken.
inline std::string argument_note(std::string_view parameter) {
    return joined({"while processing '", parameter, "'"});
}

}  // namespace driftmoor::binding
