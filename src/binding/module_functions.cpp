#include "binding/module_functions.h"

#include "binding/arguments.h"
#include "binding/call_wrapper.h"
#include "binding/interned_names.h"

namespace driftmoor::binding {
namespace {

// The module's __all__ list, created (empty) if the module has none yet.
Outcome<PyRef> all_list(PyObject* module) {
    PyObject* found = PyObject_GetAttr(module, name_dunder_all());
    if (found == nullptr) {
        FailureValue failure = fetch();
        if (!PyErr_GivenExceptionMatches(failure.materialise(), PyExc_AttributeError)) {
            return std::unexpected(std::move(failure));
        }
        auto created = checked(PyList_New(0));
        if (!created) {
            return created;
        }
        if (auto stored =
                checked_status(PyObject_SetAttr(module, name_dunder_all(), created->get()));
            !stored) {
            return std::unexpected(std::move(stored).error());
        }
        return created;
    }
    PyRef all = PyRef::steal(found);
    if (!PyList_Check(all.get())) {
        return std::unexpected(type_mismatch(all.get(), "list"));
    }
    return all;
}

Outcome<void> add_function(PyObject* module, PyMethodDef& method) {
    auto module_name = checked(PyModule_GetNameObject(module));
    if (!module_name) {
        return std::unexpected(std::move(module_name).error());
    }
    // Receiver the module, __module__ its name, no defining class.
    auto function = checked(PyCMethod_New(&method, module, module_name->get(), nullptr));
    *module_name = PyRef();  // the function holds its own reference now
    if (!function) {
        return std::unexpected(std::move(function).error());
    }
    auto name = checked(PyObject_GetAttr(function->get(), name_dunder_name()));
    if (!name) {
        return std::unexpected(std::move(name).error());
    }
    if (!PyUnicode_Check(name->get())) {
        return std::unexpected(type_mismatch(name->get(), "str"));
    }
    auto all = all_list(module);
    if (!all) {
        return std::unexpected(std::move(all).error());
    }
    if (PyList_Append(all->get(), name->get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    return checked_status(PyObject_SetAttr(module, name->get(), function->get()));
}

}  // namespace

int exec_module_functions(PyObject* module, std::span<PyMethodDef> methods) noexcept {
    return exec_wrapper([&]() -> Outcome<void> {
        if (!PyModule_Check(module)) {
            return std::unexpected(type_mismatch(module, "module"));
        }
        for (PyMethodDef& method : methods) {
            if (auto added = add_function(module, method); !added) {
                return added;
            }
        }
        return {};
    });
}

}  // namespace driftmoor::binding
