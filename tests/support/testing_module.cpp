// _driftmoor_testing: a test-only extension module built from the same
// binding code as driftmoor, whose functions end in each kind of failure the
// call wrapper handles, so those paths are exercised for real. Never installed.

#include <charconv>
#include <memory>
#include <stdexcept>
#include <string>

#include "binding/call_wrapper.h"
#include "binding/conversions.h"
#include "binding/driftmoor_functions.h"
#include "binding/module_functions.h"
#include "binding/os_error_conversion.h"
#include "binding/panic.h"
#include "binding/text_call.h"
#include "manifest/hash_seed.h"
#include "manifest/manifest_table.h"

namespace {

using namespace driftmoor::binding;
using driftmoor::panic;
using driftmoor::panic_without_message;

constexpr FunctionDescription<1> PANIC_WITH_MESSAGE{"panic_with_message", {"message"}};
constexpr FunctionDescription<0> PANIC_WITHOUT_MESSAGE{"panic_without_message", {}};
constexpr FunctionDescription<0> THROW_STANDARD_EXCEPTION{"throw_standard_exception", {}};
constexpr FunctionDescription<1> FAIL_WITH_VALUE{"fail_with_value", {"message"}};
constexpr FunctionDescription<0> FETCH_WITH_NOTHING_SET{"fetch_with_nothing_set", {}};
constexpr FunctionDescription<0> FAIL_TO_CREATE_OBJECT{"fail_to_create_object", {}};
constexpr FunctionDescription<0> FAIL_WHILE_RAISING{"fail_while_raising", {}};
constexpr FunctionDescription<1> CALL{"call", {"function"}};
constexpr FunctionDescription<2> RAISE_OS_ERROR{"raise_os_error", {"variant", "value"}};
constexpr FunctionDescription<0> DROP_OS_ERROR{"drop_os_error", {}};
constexpr FunctionDescription<1> RAISE_WRAPPED{"raise_wrapped_python_exception", {"function"}};
constexpr FunctionDescription<3> TABLE_KEY_HASH{"table_key_hash", {"k0", "k1", "key"}};
constexpr FunctionDescription<1> NEXT_TABLE_KEYS{"next_table_keys", {"count"}};

// Text that is not UTF-8, so the interpreter really refuses to make a str of it.
constexpr std::string_view NOT_UTF8 = "\xff";

PyObject* panic_with_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(PANIC_WITH_MESSAGE, args, nargs, kw,
                           [](auto texts) -> Outcome<PyRef> { panic(texts[0]); });
}

PyObject* py_panic_without_message(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
    return call_with_texts(PANIC_WITHOUT_MESSAGE, args, nargs, kw,
                           [](auto) -> Outcome<PyRef> { panic_without_message(); });
}

PyObject* throw_standard_exception(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
    return call_with_texts(THROW_STANDARD_EXCEPTION, args, nargs, kw, [](auto) -> Outcome<PyRef> {
        throw std::runtime_error("a standard exception");
    });
}

PyObject* fail_with_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(FAIL_WITH_VALUE, args, nargs, kw, [](auto texts) -> Outcome<PyRef> {
        return std::unexpected(
            FailureValue::with_message(PyExc_FileNotFoundError, std::string(texts[0])));
    });
}

PyObject* fetch_with_nothing_set(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(FETCH_WITH_NOTHING_SET, args, nargs, kw,
                           [](auto) -> Outcome<PyRef> { return std::unexpected(fetch()); });
}

PyObject* fail_to_create_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(FAIL_TO_CREATE_OBJECT, args, nargs, kw,
                           [](auto) -> Outcome<PyRef> { return text_to_str(NOT_UTF8); });
}

// The failure's argument can only be made when it is raised, after the body:
// that is a failure while converting a failure, which aborts the process.
PyObject* fail_while_raising(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(FAIL_WHILE_RAISING, args, nargs, kw, [](auto) -> Outcome<PyRef> {
        return std::unexpected(FailureValue::with_message(PyExc_ValueError, std::string(NOT_UTF8)));
    });
}

// Calls any Python object: what it raises comes back through fetch().
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        PyObject* function = nullptr;
        if (auto bound = driftmoor::binding::bind(CALL.name, CALL.parameters, args, nargs, kw,
                                                  {&function, 1});
            !bound) {
            return std::unexpected(std::move(bound).error());
        }
        return checked(PyObject_CallNoArgs(function));
    });
}

using driftmoor::platform::ErrorKind;
using driftmoor::platform::OsError;

// A custom error object that counts how often its text is asked for.
class CountingObject final : public driftmoor::platform::CustomErrorObject {
  public:
    CountingObject(std::string text, int* text_requests)
        : text_(std::move(text)), requests_(text_requests) {}
    std::string display_text() const override {
        ++*requests_;
        return text_;
    }

  private:
    std::string text_;
    int* requests_;
};

int custom_text_requests = 0;

long parse_number(std::string_view text) {
    long number = 0;
    std::from_chars(text.data(), text.data() + text.size(), number);
    return number;
}

// Raises an OsError of the named variant through the module's conversion:
// "code" (value: an OS code), "kind" (value: a kind's number), "static"
// (value: a kind's number; the message is fixed), "custom" (value: the text).
PyObject* raise_os_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(RAISE_OS_ERROR, args, nargs, kw, [](auto texts) -> Outcome<PyRef> {
        const auto& [variant, value] = texts;
        const auto kind = static_cast<ErrorKind>(parse_number(value));
        auto error =
            variant == "code"   ? OsError::from_os_code(static_cast<int>(parse_number(value)))
            : variant == "kind" ? OsError::simple(kind)
            : variant == "static"
                ? OsError::static_message(kind, "a message for the program's lifetime")
                : OsError::custom(
                      ErrorKind::TimedOut,
                      std::make_unique<CountingObject>(std::string(value), &custom_text_requests));
        return std::unexpected(error_to_exception(std::move(error)));
    });
}

// Converts a custom error and drops the failure value unraised; returns how
// often the error's text was formed meanwhile.
PyObject* drop_os_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(DROP_OS_ERROR, args, nargs, kw, [](auto) -> Outcome<PyRef> {
        int requests = 0;
        {
            FailureValue dropped = error_to_exception(OsError::custom(
                ErrorKind::EntityNotFound, std::make_unique<CountingObject>("dropped", &requests)));
        }
        return created_or_panic(PyLong_FromLong(requests));
    });
}

// Calls a Python function, wraps what it raised in a custom error and raises
// that error through the conversion.
PyObject* raise_wrapped_python_exception(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kw) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        PyObject* function = nullptr;
        if (auto bound = driftmoor::binding::bind(RAISE_WRAPPED.name, RAISE_WRAPPED.parameters,
                                                  args, nargs, kw, {&function, 1});
            !bound) {
            return std::unexpected(std::move(bound).error());
        }
        auto result = checked(PyObject_CallNoArgs(function));
        if (result) {
            return result;
        }
        return std::unexpected(error_to_exception(
            OsError::custom(ErrorKind::Unsupported,
                            std::make_unique<PythonExceptionError>(std::move(result).error()))));
    });
}

std::uint64_t parse_word(std::string_view text) {
    std::uint64_t word = 0;
    std::from_chars(text.data(), text.data() + text.size(), word);
    return word;
}

// The hash a manifest table keyed (k0, k1), both in decimal, gives the key
// text.
PyObject* table_key_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(TABLE_KEY_HASH, args, nargs, kw, [](auto texts) -> Outcome<PyRef> {
        const auto& [k0, k1, key] = texts;
        const driftmoor::manifest::ManifestTable table({parse_word(k0), parse_word(k1)});
        return created_or_panic(PyLong_FromUnsignedLongLong(table.hash_of(key)));
    });
}

// The hashing keys of the next `count` tables created on this thread, as a
// list of (k0, k1). This module has its own copy of the per-thread seed.
PyObject* next_table_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(NEXT_TABLE_KEYS, args, nargs, kw, [](auto texts) -> Outcome<PyRef> {
        const auto& [count] = texts;
        PyRef keys = created_or_panic(PyList_New(0));
        for (long index = 0; index < parse_number(count); ++index) {
            auto table = driftmoor::manifest::ManifestTable::create();
            if (!table) {
                return std::unexpected(error_to_exception(std::move(table).error()));
            }
            const auto key = table->hashing_key();
            const PyRef pair = created_or_panic(Py_BuildValue("(KK)", key.k0, key.k1));
            if (auto appended = checked_status(PyList_Append(keys.get(), pair.get())); !appended) {
                return std::unexpected(std::move(appended).error());
            }
        }
        return keys;
    });
}

PyObject* custom_text_request_count(PyObject*, PyObject*) {
    return PyLong_FromLong(custom_text_requests);
}

constexpr int FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
PyMethodDef method_table[] = {
    {"panic_with_message", as_method(panic_with_message), FLAGS, nullptr},
    {"panic_without_message", as_method(py_panic_without_message), FLAGS, nullptr},
    {"throw_standard_exception", as_method(throw_standard_exception), FLAGS, nullptr},
    {"fail_with_value", as_method(fail_with_value), FLAGS, nullptr},
    {"fetch_with_nothing_set", as_method(fetch_with_nothing_set), FLAGS, nullptr},
    {"fail_to_create_object", as_method(fail_to_create_object), FLAGS, nullptr},
    {"fail_while_raising", as_method(fail_while_raising), FLAGS, nullptr},
    {"call", as_method(call), FLAGS, nullptr},
    {"raise_os_error", as_method(raise_os_error), FLAGS, nullptr},
    {"drop_os_error", as_method(drop_os_error), FLAGS, nullptr},
    {"raise_wrapped_python_exception", as_method(raise_wrapped_python_exception), FLAGS, nullptr},
    {"custom_text_request_count", custom_text_request_count, METH_NOARGS | METH_STATIC, nullptr},
    {"table_key_hash", as_method(table_key_hash), FLAGS, nullptr},
    {"next_table_keys", as_method(next_table_keys), FLAGS, nullptr},
};

int exec_testing(PyObject* module) {
    return exec_module_functions(module, method_table);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing)},
    // As driftmoor's: its calls read only what never changes of their
    // callers' (str arguments) and share only what driftmoor's share.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_driftmoor_testing",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__driftmoor_testing(void) {
    return PyModuleDef_Init(&module_definition);
}
