#include "binding/tree_walk_conversion.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/conversions.h"

namespace driftmoor::binding {
namespace {

PyStructSequence_Field TREE_WALK_FIELDS[] = {
    {"files", "dict of path (bytes) to SHA-256 digest (64 lowercase hex digits)"},
    {"failures", "list of (path, kind, message) for what could not be read, sorted by path"},
    {"passed_over",
     "list of (path, kind, message) for what was not read by design, sorted by path"},
    {"root", "RootKind: what the path walked was found to be"},
    {nullptr, nullptr},
};

PyStructSequence_Desc TREE_WALK_DESCRIPTION = {
    "driftmoor_tree.TreeWalk",
    "What driftmoor_tree.walk found: every file read, and every entry left out.",
    TREE_WALK_FIELDS,
    4,
};

// The names a program sees for each kind, in the order of their values: one
// list beside each enum it names, so that a kind added there fails to build
// until it is named here.
using walk::Omission;
constexpr std::array LEFT_OUT_KIND_NAMES = {
    std::pair{Omission::UnreadableFile, "UNREADABLE_FILE"},
    std::pair{Omission::UnlistableDirectory, "UNLISTABLE_DIRECTORY"},
    std::pair{Omission::DanglingLink, "DANGLING_LINK"},
    std::pair{Omission::UnknownEntry, "UNKNOWN_ENTRY"},
    std::pair{Omission::SpecialFile, "SPECIAL_FILE"},
    std::pair{Omission::Loop, "LOOP"},
    std::pair{Omission::NotUnicode, "NOT_UNICODE"},
    std::pair{Omission::Excluded, "EXCLUDED"},
    std::pair{Omission::Vanished, "VANISHED"},
};
using platform::FileType;
constexpr std::array ROOT_KIND_NAMES = {
    std::pair{FileType::Directory, "DIRECTORY"},
    std::pair{FileType::RegularFile, "FILE"},
    std::pair{FileType::Other, "OTHER"},
};

template <class Names>
consteval bool in_value_order(const Names& names) {
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (static_cast<std::size_t>(names[index].first) != index) {
            return false;
        }
    }
    return true;
}
static_assert(in_value_order(LEFT_OUT_KIND_NAMES));
static_assert(in_value_order(ROOT_KIND_NAMES));
static_assert(static_cast<std::size_t>(Omission::Vanished) + 1 == LEFT_OUT_KIND_NAMES.size());

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// An enum.IntEnum of the names, in the module; the tuple of its members.
template <class Names>
Outcome<PyRef> add_int_enum(PyObject* module, const char* name, const Names& names) {
    auto enum_module = checked(PyImport_ImportModule("enum"));
    if (!enum_module) {
        return std::unexpected(std::move(enum_module).error());
    }
    auto int_enum = checked(PyObject_GetAttrString(enum_module->get(), "IntEnum"));
    if (!int_enum) {
        return std::unexpected(std::move(int_enum).error());
    }
    PyRef members = created_or_panic(PyList_New(0));
    for (const auto& [value, member] : names) {
        const PyRef pair = created_or_panic(Py_BuildValue("(si)", member, static_cast<int>(value)));
        if (auto appended = checked_status(PyList_Append(members.get(), pair.get())); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }
    const PyRef arguments = created_or_panic(Py_BuildValue("(sO)", name, members.get()));
    const PyRef keywords = created_or_panic(Py_BuildValue("{ss}", "module", "driftmoor_tree"));
    auto type = checked(PyObject_Call(int_enum->get(), arguments.get(), keywords.get()));
    if (!type) {
        return std::unexpected(std::move(type).error());
    }
    if (auto added = checked_status(PyModule_AddObjectRef(module, name, type->get())); !added) {
        return std::unexpected(std::move(added).error());
    }
    PyRef by_value = created_or_panic(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t index = 0; index < names.size(); ++index) {
        auto member = checked(PyObject_CallFunction(type->get(), "n", index));
        if (!member) {
            return std::unexpected(std::move(member).error());
        }
        PyTuple_SET_ITEM(by_value.get(), static_cast<Py_ssize_t>(index), member->release());
    }
    return by_value;
}

PyObject* member(PyObject* members, std::size_t value) {
    return PyTuple_GET_ITEM(members, static_cast<Py_ssize_t>(value));
}

// The system's message for what the error that left it out says; None
// where the kind says all (a dangling link, what was left out by design).
PyRef message_of(const tree::LeftOutEntry& entry) {
    using walk::Omission;
    const bool told_by_error = entry.omission == Omission::UnreadableFile ||
                               entry.omission == Omission::UnlistableDirectory ||
                               entry.omission == Omission::UnknownEntry;
    if (!told_by_error || !entry.error) {
        return PyRef::borrow(Py_None);
    }
    if (const auto* code = std::get_if<platform::OsError::OsCode>(&entry.error->variant())) {
        return message_to_str(platform::system_message(code->code),
                              platform::system_message_encoding());
    }
    return message_to_str(platform::error_text(*entry.error),
                          platform::error_text_encoding(*entry.error));
}

}  // namespace

Outcome<void> add_tree_walk_types(PyObject* module, TreeModuleState& state) {
    auto type =
        checked(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&TREE_WALK_DESCRIPTION)));
    if (!type) {
        return std::unexpected(std::move(type).error());
    }
    if (auto added = checked_status(PyModule_AddObjectRef(module, "TreeWalk", type->get()));
        !added) {
        return added;
    }
    auto left_out_kinds = add_int_enum(module, "LeftOutKind", LEFT_OUT_KIND_NAMES);
    if (!left_out_kinds) {
        return std::unexpected(std::move(left_out_kinds).error());
    }
    auto root_kinds = add_int_enum(module, "RootKind", ROOT_KIND_NAMES);
    if (!root_kinds) {
        return std::unexpected(std::move(root_kinds).error());
    }
    state.tree_walk_type = type->release();
    state.left_out_kinds = left_out_kinds->release();
    state.root_kinds = root_kinds->release();
    return {};
}

Outcome<PyRef> account_to_tree_walk(const TreeModuleState& state, tree::TreeAccount&& account) {
    tree::TreeAccount owned = std::move(account);
    PyRef files = created_or_panic(PyDict_New());
    std::optional<FailureValue> failure;
    owned.files.consume([&](const walk::FileRecord& record) {
        const PyRef key = bytes_of(record.key());
        const PyRef value = text_to_str(record.digest.text());
        if (auto stored = checked_status(PyDict_SetItem(files.get(), key.get(), value.get()));
            !stored) {
            failure.emplace(std::move(stored).error());
            return false;
        }
        return true;
    });
    if (failure) {
        return std::unexpected(std::move(*failure));
    }

    std::ranges::sort(owned.left_out, {}, &tree::LeftOutEntry::path);
    PyRef failures = created_or_panic(PyList_New(0));
    PyRef passed_over = created_or_panic(PyList_New(0));
    for (const tree::LeftOutEntry& entry : owned.left_out) {
        PyObject* list = walk::is_failure(entry.omission) ? failures.get() : passed_over.get();
        const PyRef triple = created_or_panic(
            PyTuple_Pack(3, bytes_of(entry.path).get(),
                         member(state.left_out_kinds, static_cast<std::size_t>(entry.omission)),
                         message_of(entry).get()));
        if (auto appended = checked_status(PyList_Append(list, triple.get())); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }

    PyRef walk = created_or_panic(
        PyStructSequence_New(reinterpret_cast<PyTypeObject*>(state.tree_walk_type)));
    PyStructSequence_SetItem(walk.get(), 0, files.release());
    PyStructSequence_SetItem(walk.get(), 1, failures.release());
    PyStructSequence_SetItem(walk.get(), 2, passed_over.release());
    PyStructSequence_SetItem(
        walk.get(), 3,
        Py_NewRef(member(state.root_kinds, static_cast<std::size_t>(owned.root_type))));
    return walk;
}

}  // namespace driftmoor::binding
