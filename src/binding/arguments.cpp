#include "binding/arguments.h"

#include <optional>
#include <string>
#include <vector>

#include "binding/conversions.h"
#include "binding/fixed_texts.h"
#include "binding/interned_names.h"

namespace driftmoor::binding {
namespace {

FailureValue type_error(std::string message) {
    return FailureValue::with_message(PyExc_TypeError, std::move(message));
}

// The UTF-8 text of a str object, or nothing (with no error left set) if it
// has none, as for a str holding a lone surrogate.
std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// How an unexpected keyword is named in its message: str() of it, with any
// lone surrogate shown as replacement characters; or a placeholder when even
// str() fails.
std::string keyword_display_text(PyObject* keyword) {
    PyObject* shown = PyObject_Str(keyword);
    if (shown == nullptr) {
        PyErr_WriteUnraisable(keyword);
        if (PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(keyword)))) {
            if (auto name = utf8_of(type_name.get())) {
                return unprintable_object_text(*name);
            }
        }
        PyErr_Clear();
        return std::string(UNPRINTABLE_OBJECT);
    }
    PyRef text = PyRef::steal(shown);
    // A lone surrogate has no UTF-8 form: write it as its three-byte pattern,
    // then decode leniently, which turns each such pattern into three U+FFFD.
    PyRef bytes = created_or_panic(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    PyRef readable = created_or_panic(PyUnicode_DecodeUTF8(
        PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (auto name = utf8_of(readable.get())) {
        return std::string(*name);
    }
    return std::string(UNPRINTABLE_OBJECT);
}

}  // namespace

Outcome<void> bind(std::string_view function_name, std::span<const std::string_view> parameters,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots) {
    // Messages are composed only on failure: the success path allocates nothing.
    const auto count = static_cast<Py_ssize_t>(parameters.size());

    if (nargs > count) {
        return std::unexpected(type_error(too_many_positional_message(
            function_name, parameters.size(), static_cast<std::size_t>(nargs))));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::optional<std::string_view> name = utf8_of(keyword);
        std::size_t match = parameters.size();
        if (name) {
            for (std::size_t p = 0; p < parameters.size() && match == parameters.size(); ++p) {
                if (parameters[p] == *name) {
                    match = p;
                }
            }
        }
        if (match == parameters.size()) {
            return std::unexpected(type_error(
                unexpected_keyword_message(function_name, keyword_display_text(keyword))));
        }
        if (slots[match] != nullptr) {
            return std::unexpected(type_error(multiple_values_message(function_name, *name)));
        }
        slots[match] = args[nargs + k];
    }

    if (nargs < count) {
        std::vector<std::string_view> missing;
        for (std::size_t p = 0; p < parameters.size(); ++p) {
            if (slots[p] == nullptr) {
                missing.push_back(parameters[p]);
            }
        }
        if (!missing.empty()) {
            return std::unexpected(type_error(missing_positional_message(function_name, missing)));
        }
    }
    return {};
}

FailureValue type_mismatch(PyObject* object, std::string_view expected_type) {
    if (object == Py_None) {
        return type_error(none_is_not_an_instance_message(expected_type));
    }
    std::string type_name(TYPE_NAME_NOT_EXTRACTED);
    if (PyRef qualified = PyRef::steal(PyType_GetQualName(Py_TYPE(object)))) {
        if (auto name = utf8_of(qualified.get())) {
            type_name = *name;
        }
    }
    PyErr_Clear();
    return type_error(not_an_instance_message(type_name, expected_type));
}

Outcome<std::string_view> extract_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return std::unexpected(type_mismatch(object, "str"));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return std::unexpected(fetch());
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

FailureValue note_argument(std::string_view parameter, FailureValue failure) {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) {
        PyErr_Clear();
        return failure;
    }
    const std::string note = argument_note(parameter);
    if (PyUnicodeWriter_WriteUTF8(writer, note.data(), static_cast<Py_ssize_t>(note.size())) < 0) {
        PyUnicodeWriter_Discard(writer);
        PyErr_Clear();
        return failure;
    }
    PyRef note_text = PyRef::steal(PyUnicodeWriter_Finish(writer));
    if (!note_text) {
        PyErr_Clear();
        return failure;
    }
    // The slot before the arguments lets the interpreter prepend `self`
    // without copying the vector.
    PyObject* call_args[] = {nullptr, failure.materialise(), note_text.get()};
    PyRef added = PyRef::steal(PyObject_VectorcallMethod(
        name_add_note(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!added) {
        PyErr_Clear();
    }
    return failure;
}

}  // namespace driftmoor::binding
