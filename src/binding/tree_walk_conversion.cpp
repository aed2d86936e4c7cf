#include "binding/tree_walk_conversion.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <variant>

#include "binding/conversions.h"
#include "binding/fixed_texts.h"

namespace driftmoor::binding {
namespace {

PyStructSequence_Field TREE_WALK_FIELDS[] = {
    {"files", "dict of path (bytes) to SHA-256 digest (64 lowercase hex digits)"},
    {"failures", "list of (path, reason) for what could not be read, sorted by path"},
    {"passed_over", "list of (path, reason) for what was not read by design, sorted by path"},
    {nullptr, nullptr},
};

PyStructSequence_Desc TREE_WALK_DESCRIPTION = {
    "driftmoor_tree.TreeWalk",
    "What driftmoor_tree.walk found: every file read, and every entry left out.",
    TREE_WALK_FIELDS,
    3,
};

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// Why an entry was left out, as a user reads it: the system's message for
// what failed, else what the entry was.
PyRef reason_text(const tree::LeftOutEntry& entry) {
    using walk::Omission;
    switch (entry.omission) {
        case walk::Omission::DanglingLink:
            return text_to_str(DANGLING_LINK_REASON);
        case walk::Omission::SpecialFile:
            return text_to_str(SPECIAL_FILE_REASON);
        case walk::Omission::Loop:
            return text_to_str(LOOP_REASON);
        case walk::Omission::NotUnicode:
            return text_to_str(NOT_UNICODE_REASON);
        case walk::Omission::Excluded:
            return text_to_str(EXCLUDED_REASON);
        case walk::Omission::Vanished:
            return text_to_str(VANISHED_REASON);
        case walk::Omission::UnreadableFile:
        case walk::Omission::UnlistableDirectory:
        case walk::Omission::UnknownEntry:
            break;
    }
    if (!entry.error) {
        return text_to_str(CANNOT_BE_READ_REASON);
    }
    if (const auto* code = std::get_if<platform::OsError::OsCode>(&entry.error->variant())) {
        return message_to_str(platform::system_message(code->code),
                              platform::system_message_encoding());
    }
    return message_to_str(platform::error_text(*entry.error),
                          platform::error_text_encoding(*entry.error));
}

Outcome<void> append_pair(PyObject* list, std::string_view path, PyRef reason) {
    const PyRef pair = created_or_panic(PyTuple_Pack(2, bytes_of(path).get(), reason.get()));
    return checked_status(PyList_Append(list, pair.get()));
}

}  // namespace

Outcome<PyRef> make_tree_walk_type() {
    return checked(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&TREE_WALK_DESCRIPTION)));
}

Outcome<PyRef> account_to_tree_walk(PyObject* tree_walk_type, tree::TreeAccount&& account) {
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
        if (auto appended = append_pair(list, entry.path, reason_text(entry)); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }

    PyRef walk =
        created_or_panic(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(tree_walk_type)));
    PyStructSequence_SetItem(walk.get(), 0, files.release());
    PyStructSequence_SetItem(walk.get(), 1, failures.release());
    PyStructSequence_SetItem(walk.get(), 2, passed_over.release());
    return walk;
}

}  // namespace driftmoor::binding
