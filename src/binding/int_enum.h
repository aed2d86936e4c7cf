// The enums a module shows its callers, made as enum.IntEnum classes from
// one table of names per C++ enum.
#pragma once

#include <cstddef>
#include <span>

#include "binding/failure.h"

namespace driftmoor::binding {

// One member: the C++ enum's value and the name a program sees.
struct EnumMember {
    int value;
    const char* name;
};

// True when the members are listed in the order of their values from 0, as
// the tuple of members is indexed by them.
template <std::size_t Count>
consteval bool in_value_order(const EnumMember (&members)[Count]) {
    for (std::size_t index = 0; index < Count; ++index) {
        if (members[index].value != static_cast<int>(index)) {
            return false;
        }
    }
    return true;
}

// Adds the IntEnum `name` of `members` to the module; the tuple of its
// members, in value order.
Outcome<PyRef> add_int_enum(PyObject* module, const char* name,
                            std::span<const EnumMember> members);

// The member of `value`, borrowed from the tuple that add_int_enum gave.
inline PyObject* enum_member(PyObject* members, std::size_t value) noexcept {
    return PyTuple_GET_ITEM(members, static_cast<Py_ssize_t>(value));
}

}  // namespace driftmoor::binding
