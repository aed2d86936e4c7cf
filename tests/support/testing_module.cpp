// _driftmoor_testing: a test-only extension module built from the same
// binding code as driftmoor, whose functions end in each kind of failure the
// call wrapper handles, so those paths are exercised for real. Never installed.

#include <stdexcept>
#include <string>

#include "binding/call_wrapper.h"
#include "binding/conversions.h"
#include "binding/entries.h"
#include "binding/module_functions.h"
#include "binding/panic.h"
#include "binding/text_call.h"

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

// Text that is not UTF-8, so the interpreter really refuses to make a str of it.
constexpr std::string_view NOT_UTF8 = "\xff";

PyObject* panic_with_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call_with_texts(PANIC_WITH_MESSAGE, args, nargs, kw,
                           [](auto texts) -> Outcome<PyRef> { panic(texts[0]); });
}

PyObject* panic_without_message_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
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

constexpr int FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
PyMethodDef method_entries[] = {
    {"panic_with_message", as_method(panic_with_message), FLAGS, nullptr},
    {"panic_without_message", as_method(panic_without_message_entry), FLAGS, nullptr},
    {"throw_standard_exception", as_method(throw_standard_exception), FLAGS, nullptr},
    {"fail_with_value", as_method(fail_with_value), FLAGS, nullptr},
    {"fetch_with_nothing_set", as_method(fetch_with_nothing_set), FLAGS, nullptr},
    {"fail_to_create_object", as_method(fail_to_create_object), FLAGS, nullptr},
    {"fail_while_raising", as_method(fail_while_raising), FLAGS, nullptr},
    {"call", as_method(call), FLAGS, nullptr},
};

int exec_testing(PyObject* module) {
    return exec_module_functions(module, method_entries);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing)},
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
