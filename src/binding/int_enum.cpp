#include "binding/int_enum.h"

#include "binding/conversions.h"

namespace driftmoor::binding {

Outcome<PyRef> add_int_enum(PyObject* module, const char* name,
                            std::span<const EnumMember> members) {
    auto enum_module = checked(PyImport_ImportModule("enum"));
    if (!enum_module) {
        return std::unexpected(std::move(enum_module).error());
    }
    auto int_enum = checked(PyObject_GetAttrString(enum_module->get(), "IntEnum"));
    if (!int_enum) {
        return std::unexpected(std::move(int_enum).error());
    }
    PyRef pairs = created_or_panic(PyList_New(0));
    for (const EnumMember& member : members) {
        const PyRef pair = created_or_panic(Py_BuildValue("(si)", member.name, member.value));
        if (auto appended = checked_status(PyList_Append(pairs.get(), pair.get())); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }
    const PyRef module_name = created_or_panic(PyModule_GetNameObject(module));
    const PyRef arguments = created_or_panic(Py_BuildValue("(sO)", name, pairs.get()));
    const PyRef keywords = created_or_panic(Py_BuildValue("{sO}", "module", module_name.get()));
    auto type = checked(PyObject_Call(int_enum->get(), arguments.get(), keywords.get()));
    if (!type) {
        return std::unexpected(std::move(type).error());
    }
    if (auto added = checked_status(PyModule_AddObjectRef(module, name, type->get())); !added) {
        return std::unexpected(std::move(added).error());
    }
    PyRef by_value = created_or_panic(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
    for (std::size_t index = 0; index < members.size(); ++index) {
        auto member = checked(PyObject_CallFunction(type->get(), "i", members[index].value));
        if (!member) {
            return std::unexpected(std::move(member).error());
        }
        PyTuple_SET_ITEM(by_value.get(), static_cast<Py_ssize_t>(index), member->release());
    }
    return by_value;
}

}  // namespace driftmoor::binding
