#include "binding/tree_walk_conversion.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/conversions.h"
#include "binding/int_enum.h"

namespace driftmoor::binding {
namespace {

PyStructSequence_Field TREE_WALK_FIELDS[] = {
    {"files", "dict of path (bytes) to SHA-256 digest (64 lowercase hex digits)"},
    {"failures", "list of (path, kind, message) for what could not be read, sorted by path"},
    {"passed_over",
     "list of (path, kind, message) for what was not read by design, sorted by path"},
    {"root", "RootKind: what the path walked was found to be"},
    {"reads",
     "with record_reads, how each file read was when its reading began (bytes of packed "
     "records, for recorded_state); else None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc TREE_WALK_DESCRIPTION = {
    "driftmoor_tree.TreeWalk",
    "What driftmoor_tree.walk found: every file read, and every entry left out.",
    TREE_WALK_FIELDS,
    4,
};

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The system's message for what the error that left it out says; None
// where the kind says all (a dangling link, what was left out by design).
PyRef message_of(const tree::LeftOutEntry& entry) {
    if (!walk::is_failure(entry.omission) || !entry.error) {
        return PyRef::borrow(Py_None);
    }
    return error_message(*entry.error);
}

}  // namespace

PyRef error_message(const platform::OsError& error) {
    if (const auto* code = std::get_if<platform::OsError::OsCode>(&error.variant())) {
        return message_to_str(platform::system_message(code->code),
                              platform::system_message_encoding());
    }
    return message_to_str(platform::error_text(error), platform::error_text_encoding(error));
}

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
    state.tree_walk_type = type->release();
    return {};
}

Outcome<PyRef> account_to_tree_walk(const TreeModuleState& state, tree::TreeAccount&& account,
                                    bool records_reads) {
    tree::TreeAccount owned = std::move(account);
    PyRef files = created_or_panic(PyDict_New());
    std::optional<FailureValue> failure;
    owned.files.consume([&](const walk::FileRecord& record) {
        const PyRef key = bytes_of(record.key());
        const PyRef value = text_to_str(record.digest().text());
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
        const PyRef triple = created_or_panic(PyTuple_Pack(
            3, bytes_of(entry.path).get(),
            enum_member(state.left_out_kinds, static_cast<std::size_t>(entry.omission)),
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
        Py_NewRef(enum_member(state.root_kinds, static_cast<std::size_t>(owned.root_type))));
    PyStructSequence_SetItem(walk.get(), 4,
                             owned.reads.empty() && !records_reads
                                 ? Py_NewRef(Py_None)
                                 : bytes_of(tree::pack_records(owned.reads)).release());
    return walk;
}

}  // namespace driftmoor::binding
