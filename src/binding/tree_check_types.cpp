#include "binding/tree_check_types.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "binding/arguments.h"
#include "binding/call_wrapper.h"
#include "binding/conversions.h"
#include "binding/detached.h"
#include "binding/int_enum.h"
#include "binding/os_error_conversion.h"
#include "binding/part_functions.h"
#include "binding/signal_check.h"
#include "binding/stack_room.h"
#include "binding/tree_state_conversion.h"
#include "binding/tree_walk_conversion.h"
#include "binding/walk_options.h"
#include "platform/metadata.h"
#include "tree/path_spelling.h"
#include "tree/report_writer.h"
#include "tree/tree_check.h"

namespace driftmoor::binding {
namespace {

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// A TypeError unless a call got exactly `count` positional arguments.
Outcome<void> positional(const char* function, Py_ssize_t given, Py_ssize_t count) {
    if (given == count) {
        return {};
    }
    return std::unexpected(FailureValue::with_message(
        PyExc_TypeError, std::string(function) + "() takes exactly " + std::to_string(count) +
                             " arguments (" + std::to_string(given) + " given)"));
}

Outcome<std::string_view> bytes_argument(PyObject* object) {
    if (!PyBytes_Check(object)) {
        return std::unexpected(type_mismatch(object, "bytes"));
    }
    return std::string_view(PyBytes_AS_STRING(object),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

// --- ManifestProblem ---------------------------------------------------------

PyStructSequence_Field PROBLEM_FIELDS[] = {
    {"fault", "ManifestFault: why the manifest cannot be used"},
    {"line", "the line it was found on (0: a pair added without one)"},
    {"path", "LISTED_TWICE: the path listed twice (bytes); else None"},
    {"first_line", "LISTED_TWICE: the line it was first listed on; else 0"},
    {nullptr, nullptr},
};

PyStructSequence_Desc PROBLEM_DESCRIPTION = {
    "driftmoor_tree.ManifestProblem",
    "Why a manifest cannot be used, and where.",
    PROBLEM_FIELDS,
    4,
};

// None when there is no problem.
PyRef problem_to_py(const TreeModuleState& state,
                    const std::optional<tree::ManifestProblem>& problem) {
    if (!problem) {
        return PyRef::borrow(Py_None);
    }
    PyRef made = created_or_panic(
        PyStructSequence_New(reinterpret_cast<PyTypeObject*>(state.manifest_problem_type)));
    PyStructSequence_SetItem(
        made.get(), 0,
        Py_NewRef(enum_member(state.manifest_faults, static_cast<std::size_t>(problem->fault))));
    PyStructSequence_SetItem(
        made.get(), 1, created_or_panic(PyLong_FromUnsignedLongLong(problem->line)).release());
    PyStructSequence_SetItem(made.get(), 2,
                             problem->fault == tree::ManifestFault::ListedTwice
                                 ? bytes_of(problem->path).release()
                                 : Py_NewRef(Py_None));
    PyStructSequence_SetItem(
        made.get(), 3,
        created_or_panic(PyLong_FromUnsignedLongLong(problem->first_line)).release());
    return made;
}

// --- ListedManifest ----------------------------------------------------------

struct ListedManifestObject {
    PyObject_HEAD
        // Owned; null once a check or a comparison took it.
        tree::ListedManifest* manifest;
    bool sealed;
};

ListedManifestObject* as_manifest(PyObject* self) noexcept {
    return reinterpret_cast<ListedManifestObject*>(self);
}

FailureValue used_up() {
    return value_error("this manifest was used by a check or a comparison already");
}

// Runs `work` on the object's manifest under its critical section, which a
// build without the interpreter lock needs: the manifest changes as it is
// read. `work` returns an Outcome<PyRef>.
template <class Work>
Outcome<PyRef> with_manifest(PyObject* self, bool want_sealed, Work&& work) {
    std::optional<Outcome<PyRef>> result;
    Py_BEGIN_CRITICAL_SECTION(self);
    ListedManifestObject* object = as_manifest(self);
    if (object->manifest == nullptr) {
        result.emplace(std::unexpected(used_up()));
    } else if (object->sealed != want_sealed) {
        result.emplace(std::unexpected(value_error(want_sealed ? "the manifest is not sealed yet"
                                                               : "the manifest is sealed")));
    } else {
        result.emplace(work(*object));
    }
    Py_END_CRITICAL_SECTION();
    return std::move(*result);
}

const TreeModuleState& state_of_object(PyObject* self) {
    return tree_state_of_type(Py_TYPE(self));
}

PyObject* manifest_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (PyTuple_GET_SIZE(args) != 0 ||
            (keywords != nullptr && PyDict_GET_SIZE(keywords) != 0)) {
            return std::unexpected(
                FailureValue::with_message(PyExc_TypeError, "ListedManifest() takes no arguments"));
        }
        PyRef made = created_or_panic(type->tp_alloc(type, 0));
        as_manifest(made.get())->manifest = new tree::ListedManifest();
        as_manifest(made.get())->sealed = false;
        return made;
    });
}

void manifest_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_manifest(self)->manifest;
    type->tp_free(self);
    Py_DECREF(type);
}

// Runs `work` on the bytes of a buffer-supporting object, released on every
// way out.
template <typename Work>
Outcome<PyRef> with_bytes_of(PyObject* data, Work&& work) {
    Py_buffer view;
    if (auto taken = checked_status(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE)); !taken) {
        return std::unexpected(std::move(taken).error());
    }
    const struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    return work(
        std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
}

PyObject* manifest_read(PyObject* self, PyObject* data) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return with_bytes_of(data, [&](std::string_view bytes) {
            return with_manifest(self, false, [&](ListedManifestObject& object) -> Outcome<PyRef> {
                return problem_to_py(state_of_object(self), object.manifest->read(bytes));
            });
        });
    });
}

PyObject* manifest_note(PyObject* self, PyObject* data) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return with_bytes_of(data, [&](std::string_view bytes) {
            return with_manifest(self, false, [&](ListedManifestObject& object) -> Outcome<PyRef> {
                object.manifest->note(bytes);
                return PyRef::borrow(Py_None);
            });
        });
    });
}

PyObject* manifest_sha256(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return with_manifest(self, true, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            return text_to_str(digest::hex_encode(object.manifest->bytes_digest()).text());
        });
    });
}

PyObject* manifest_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (auto counted = positional("add", nargs, 2); !counted) {
            return std::unexpected(std::move(counted).error());
        }
        auto path = bytes_argument(args[0]);
        if (!path) {
            return std::unexpected(std::move(path).error());
        }
        auto digest = extract_text(args[1]);
        if (!digest) {
            return std::unexpected(std::move(digest).error());
        }
        return with_manifest(self, false, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            return problem_to_py(state_of_object(self), object.manifest->add(*path, *digest));
        });
    });
}

PyObject* manifest_seal(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return with_manifest(self, false, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            auto problem = object.manifest->finish_reading();
            if (!problem) {
                problem = object.manifest->seal();
            }
            object.sealed = true;
            return problem_to_py(state_of_object(self), problem);
        });
    });
}

Py_ssize_t manifest_length(PyObject* self) {
    Py_ssize_t length = 0;
    Py_BEGIN_CRITICAL_SECTION(self);
    const tree::ListedManifest* manifest = as_manifest(self)->manifest;
    length = manifest == nullptr ? 0 : static_cast<Py_ssize_t>(manifest->size());
    Py_END_CRITICAL_SECTION();
    return length;
}

// The directory that every relative path lies under, and the one every
// absolute path lies under, as the paths spell them; None where there are
// none of that kind.
PyObject* manifest_roots(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return with_manifest(self, true, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            std::optional<std::string_view> relative[2];
            std::optional<std::string_view> absolute[2];
            for (const walk::FileRecord* file : object.manifest->files()) {
                auto& range = file->key().starts_with('/') ? absolute : relative;
                if (!range[0]) {
                    range[0] = file->key();
                }
                range[1] = file->key();  // in order: the last is the greatest
            }
            const auto root = [](const std::optional<std::string_view>(&range)[2]) {
                return range[0] ? bytes_of(tree::shared_directory(*range[0], *range[1]))
                                : PyRef::borrow(Py_None);
            };
            return created_or_panic(PyTuple_Pack(2, root(relative).get(), root(absolute).get()));
        });
    });
}

// Whether anything is there under at least one listed path, checked where
// the check would look: a relative path with `listed_start` replaced by
// `checked_start`.
PyObject* manifest_any_present(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (auto counted = positional("any_present", nargs, 2); !counted) {
            return std::unexpected(std::move(counted).error());
        }
        auto listed_start = bytes_argument(args[0]);
        auto checked_start = bytes_argument(args[1]);
        if (!listed_start || !checked_start) {
            return std::unexpected(!listed_start ? std::move(listed_start).error()
                                                 : std::move(checked_start).error());
        }
        return with_manifest(self, true, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            const tree::ListedManifest& manifest = *object.manifest;
            const bool present = run_detached([&] {
                std::string path;
                for (const walk::FileRecord* file : manifest.files()) {
                    std::string_view listed = file->key();
                    path.clear();
                    if (!listed.starts_with('/') && listed.starts_with(*listed_start)) {
                        path.append(*checked_start).append(listed.substr(listed_start->size()));
                        listed = path;
                    }
                    if (listed.find('\0') != std::string_view::npos) {
                        continue;  // no file can have the name
                    }
                    // Only what names nothing is not there: a path that
                    // cannot be looked at may well be.
                    auto found = platform::query_metadata(listed);
                    if (found || (platform::error_kind(found.error()) !=
                                      platform::ErrorKind::EntityNotFound &&
                                  platform::error_kind(found.error()) !=
                                      platform::ErrorKind::NotADirectory)) {
                        return true;
                    }
                }
                return false;
            });
            return bool_to_py(present);
        });
    });
}

PyMethodDef MANIFEST_METHODS[] = {
    {"read", manifest_read, METH_O,
     "read($self, data, /)\n--\n\nReads the next bytes of a manifest's lines; the first problem "
     "met "
     "(a ManifestProblem), or None."},
    {"note", manifest_note, METH_O,
     "note($self, data, /)\n--\n\nBytes of the manifest taken in another form (the JSON text "
     "whose pairs add takes): counted in the digest of its bytes."},
    {"sha256", manifest_sha256, METH_NOARGS,
     "sha256($self)\n--\n\nThe SHA-256 of the sealed manifest's bytes as read and noted (64 "
     "lowercase hex digits): what a state of its files binds to."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(manifest_add)),
     METH_FASTCALL,
     "add($self, path, digest, /)\n--\n\nAdds a path (bytes) and its digest (64 hexadecimal "
     "digits) "
     "of another form; a ManifestProblem, or None."},
    {"seal", manifest_seal, METH_NOARGS,
     "seal($self)\n--\n\nEnds the reading and puts the files in the order of their paths; a path "
     "listed twice, by any spelling, is a ManifestProblem."},
    {"roots", manifest_roots, METH_NOARGS,
     "roots($self)\n--\n\n(relative, absolute): the directory every relative path lies under and "
     "the one every absolute path lies under, as the paths spell them (ending in '/', or "
     "b'' for none in common), None where the manifest has no such path."},
    {"any_present",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(manifest_any_present)),
     METH_FASTCALL,
     "any_present($self, listed_start, checked_start, /)\n--\n\nWhether anything is there under at "
     "least one listed path, a relative path looked for with listed_start replaced by "
     "checked_start."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot MANIFEST_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(manifest_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(manifest_dealloc)},
    {Py_tp_methods, MANIFEST_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(manifest_length)},
    {Py_tp_doc,
     const_cast<char*>("ListedManifest()\n--\n\nA manifest as check reads it: its lines read "
                       "as they come, in the forms sha256sum writes and checks, the files "
                       "held compactly and put in the order of their paths when sealed.")},
    {0, nullptr},
};

PyType_Spec MANIFEST_SPEC = {
    "driftmoor_tree.ListedManifest",
    sizeof(ListedManifestObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    MANIFEST_SLOTS,
};

// A refusal unless the object is a sealed manifest not used yet.
Outcome<void> usable_manifest(const TreeModuleState& state, PyObject* object) {
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(state.listed_manifest_type))) {
        return std::unexpected(type_mismatch(object, "ListedManifest"));
    }
    std::optional<Outcome<void>> usable;
    Py_BEGIN_CRITICAL_SECTION(object);
    const ListedManifestObject* manifest = as_manifest(object);
    if (manifest->manifest == nullptr) {
        usable.emplace(std::unexpected(used_up()));
    } else if (!manifest->sealed) {
        usable.emplace(std::unexpected(value_error("the manifest is not sealed yet")));
    } else {
        usable.emplace();
    }
    Py_END_CRITICAL_SECTION();
    return std::move(*usable);
}

// Takes the sealed manifest out of its object, for a check or a comparison.
Outcome<tree::ListedManifest> take_manifest(const TreeModuleState& state, PyObject* object) {
    if (auto usable = usable_manifest(state, object); !usable) {
        return std::unexpected(std::move(usable).error());
    }
    std::optional<Outcome<tree::ListedManifest>> taken;
    Py_BEGIN_CRITICAL_SECTION(object);
    ListedManifestObject* manifest = as_manifest(object);
    if (manifest->manifest == nullptr) {
        taken.emplace(std::unexpected(used_up()));
    } else {
        std::unique_ptr<tree::ListedManifest> owned(std::exchange(manifest->manifest, nullptr));
        taken.emplace(std::move(*owned));
    }
    Py_END_CRITICAL_SECTION();
    return std::move(*taken);
}

// --- Findings ----------------------------------------------------------------

struct FindingsObject {
    PyObject_HEAD tree::Findings* findings;  // owned
};

FindingsObject* as_findings(PyObject* self) noexcept {
    return reinterpret_cast<FindingsObject*>(self);
}

void findings_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_findings(self)->findings;
    type->tp_free(self);
    Py_DECREF(type);
}

Outcome<PyRef> wrap_findings(const TreeModuleState& state,
                             std::unique_ptr<tree::Findings> findings) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.findings_type);
    PyRef made = created_or_panic(type->tp_alloc(type, 0));
    as_findings(made.get())->findings = findings.release();
    return made;
}

Py_ssize_t findings_length(PyObject* self) {
    return static_cast<Py_ssize_t>(as_findings(self)->findings->size());
}

PyRef digest_or_none(const digest::Sha256Digest* digest) {
    return digest != nullptr ? text_to_str(digest::hex_encode(*digest).text())
                             : PyRef::borrow(Py_None);
}

// (path, state, expected, actual, kind, message, below, moved_to, came):
// the kind and the system's message of what is unreadable or passed over
// (else None), the directory above it that could not be listed (else
// None), the path a moved file was found under (else None), and how the
// check came by it.
PyRef finding_to_py(const TreeModuleState& state, const tree::Finding& finding) {
    const bool left_out = finding.state == tree::PathState::Unreadable ||
                          finding.state == tree::PathState::PassedOver;
    const PyRef path = bytes_of(finding.path);
    const PyRef expected = digest_or_none(finding.expected);
    const PyRef actual = digest_or_none(finding.actual);
    const PyRef message =
        finding.error != nullptr ? error_message(*finding.error) : PyRef::borrow(Py_None);
    const PyRef below =
        finding.below == nullptr ? PyRef::borrow(Py_None) : bytes_of(*finding.below);
    const PyRef moved_to = finding.state == tree::PathState::Moved ? bytes_of(finding.moved_to)
                                                                   : PyRef::borrow(Py_None);
    return created_or_panic(PyTuple_Pack(
        9, path.get(), enum_member(state.path_states, static_cast<std::size_t>(finding.state)),
        expected.get(), actual.get(),
        left_out ? enum_member(state.left_out_kinds, static_cast<std::size_t>(finding.omission))
                 : Py_None,
        message.get(), below.get(), moved_to.get(),
        enum_member(state.came, static_cast<std::size_t>(finding.came))));
}

// The entries that could not be read (but for those below a directory that
// could not be listed), in path order: (path, kind, message).
PyObject* findings_failures(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const TreeModuleState& state = state_of_object(self);
        PyRef failures = created_or_panic(PyList_New(0));
        for (const tree::Failure& failure : as_findings(self)->findings->failures()) {
            const PyRef path = bytes_of(failure.path);
            const PyRef message =
                failure.error != nullptr ? error_message(*failure.error) : PyRef::borrow(Py_None);
            const PyRef triple = created_or_panic(PyTuple_Pack(
                3, path.get(),
                enum_member(state.left_out_kinds, static_cast<std::size_t>(failure.omission)),
                message.get()));
            if (auto appended = checked_status(PyList_Append(failures.get(), triple.get()));
                !appended) {
                return std::unexpected(std::move(appended).error());
            }
        }
        return failures;
    });
}

// --- The iterator of Findings --------------------------------------------------

struct FindingsIteratorObject {
    PyObject_HEAD PyObject* findings;  // a strong reference
    tree::Findings::Cursor* cursor;    // owned
};

FindingsIteratorObject* as_iterator(PyObject* self) noexcept {
    return reinterpret_cast<FindingsIteratorObject*>(self);
}

void findings_iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    FindingsIteratorObject* iterator = as_iterator(self);
    delete iterator->cursor;
    Py_XDECREF(iterator->findings);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* findings_iter(PyObject* self) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const TreeModuleState& state = state_of_object(self);
        auto* type = reinterpret_cast<PyTypeObject*>(state.findings_iterator_type);
        PyRef made = created_or_panic(type->tp_alloc(type, 0));
        FindingsIteratorObject* iterator = as_iterator(made.get());
        iterator->cursor = new tree::Findings::Cursor();
        iterator->findings = Py_NewRef(self);
        return made;
    });
}

PyObject* findings_iterator_next(PyObject* self) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        FindingsIteratorObject* iterator = as_iterator(self);
        std::optional<tree::Finding> finding;
        PyRef item;
        // The cursor's path text is the item's until it moves again.
        Py_BEGIN_CRITICAL_SECTION(self);
        finding = as_findings(iterator->findings)->findings->next(*iterator->cursor);
        if (finding) {
            item = finding_to_py(state_of_object(iterator->findings), *finding);
        }
        Py_END_CRITICAL_SECTION();
        return item;  // none at the end: no exception, no item
    });
}

PyType_Slot FINDINGS_ITERATOR_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(findings_iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(findings_iterator_next)},
    {0, nullptr},
};

PyType_Spec FINDINGS_ITERATOR_SPEC = {
    "driftmoor_tree.FindingsIterator",
    sizeof(FindingsIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    FINDINGS_ITERATOR_SLOTS,
};

// --- Report ------------------------------------------------------------------

struct ReportObject {
    PyObject_HEAD PyObject* findings;  // a strong reference: the writer reads it
    tree::ReportWords* words;
    tree::ReportWriter* writer;
};

ReportObject* as_report(PyObject* self) noexcept {
    return reinterpret_cast<ReportObject*>(self);
}

void report_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ReportObject* report = as_report(self);
    delete report->writer;
    delete report->words;
    Py_XDECREF(report->findings);
    type->tp_free(self);
    Py_DECREF(type);
}

// The system's message as UTF-8, a byte the locale's codec could not decode
// written back as that byte.
std::string error_text_utf8(const platform::OsError& error) {
    const PyRef message = error_message(error);
    const PyRef encoded =
        created_or_panic(PyUnicode_AsEncodedString(message.get(), "utf-8", "surrogateescape"));
    return {PyBytes_AS_STRING(encoded.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

// Each item of a sequence of `count` str, as UTF-8.
template <std::size_t Count>
Outcome<std::array<std::string, Count>> words_of(PyObject* sequence, const char* what) {
    std::array<std::string, Count> words;
    if (!PyTuple_Check(sequence) || PyTuple_GET_SIZE(sequence) != static_cast<Py_ssize_t>(Count)) {
        return std::unexpected(FailureValue::with_message(
            PyExc_TypeError,
            std::string(what) + " must be a tuple of " + std::to_string(Count) + " str"));
    }
    for (std::size_t index = 0; index < Count; ++index) {
        auto text = extract_text(PyTuple_GET_ITEM(sequence, static_cast<Py_ssize_t>(index)));
        if (!text) {
            return std::unexpected(std::move(text).error());
        }
        words[index] = std::string(*text);
    }
    return words;
}

PyObject* findings_report(PyObject* self, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        PyObject* states = nullptr;
        PyObject* state_keys = nullptr;
        PyObject* omissions = nullptr;
        PyObject* came = nullptr;
        PyObject* state_summary = nullptr;
        PyObject* state_summary_keys = nullptr;
        PyObject* counted = nullptr;
        int json = 0;
        int quiet = 0;
        int verbose = 0;
        int ignore_missing = 0;
        static const char* keyword_names[] = {
            "",     "", "", "", "", "", "counted", "json", "quiet", "verbose", "ignore_missing",
            nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, "OOOOOO|$Opppp:report",
                                         const_cast<char**>(keyword_names), &states, &state_keys,
                                         &omissions, &came, &state_summary, &state_summary_keys,
                                         &counted, &json, &quiet, &verbose, &ignore_missing)) {
            return std::unexpected(fetch());
        }
        auto words = std::make_unique<tree::ReportWords>();
        auto state_words = words_of<tree::PATH_STATE_COUNT>(states, "states");
        auto key_words = words_of<tree::PATH_STATE_COUNT>(state_keys, "state_keys");
        auto omission_words = words_of<walk::OMISSION_KINDS>(omissions, "omissions");
        if (!state_words || !key_words || !omission_words) {
            return std::unexpected(!state_words ? std::move(state_words).error()
                                   : !key_words ? std::move(key_words).error()
                                                : std::move(omission_words).error());
        }
        auto came_words = words_of<4>(came, "came");
        auto summary_words = came_words ? words_of<4>(state_summary, "state_summary")
                                        : Outcome<std::array<std::string, 4>>();
        auto summary_keys = came_words && summary_words
                                ? words_of<4>(state_summary_keys, "state_summary_keys")
                                : Outcome<std::array<std::string, 4>>();
        if (!came_words || !summary_words || !summary_keys) {
            return std::unexpected(!came_words      ? std::move(came_words).error()
                                   : !summary_words ? std::move(summary_words).error()
                                                    : std::move(summary_keys).error());
        }
        words->states = std::move(*state_words);
        words->state_keys = std::move(*key_words);
        words->omissions = std::move(*omission_words);
        words->came = std::move(*came_words);
        words->state_summary = std::move(*summary_words);
        words->state_summary_keys = std::move(*summary_keys);
        tree::ReportShape shape{.json = json != 0,
                                .quiet = quiet != 0,
                                .verbose = verbose != 0,
                                .ignore_missing = ignore_missing != 0,
                                .counted = {}};
        if (counted == nullptr) {
            for (std::size_t index = 0; index < tree::PATH_STATE_COUNT; ++index) {
                shape.counted.push_back(static_cast<tree::PathState>(index));
            }
        } else if (!PyTuple_Check(counted)) {
            return std::unexpected(type_mismatch(counted, "tuple"));
        }
        for (Py_ssize_t index = 0; counted != nullptr && index < PyTuple_GET_SIZE(counted);
             ++index) {
            const long state = PyLong_AsLong(PyTuple_GET_ITEM(counted, index));
            if (state < 0 || state >= static_cast<long>(tree::PATH_STATE_COUNT)) {
                PyErr_Clear();
                return std::unexpected(value_error("counted must hold PathState members"));
            }
            shape.counted.push_back(static_cast<tree::PathState>(state));
        }
        const TreeModuleState& state = state_of_object(self);
        auto* type = reinterpret_cast<PyTypeObject*>(state.report_type);
        PyRef made = created_or_panic(type->tp_alloc(type, 0));
        ReportObject* report = as_report(made.get());
        report->findings = Py_NewRef(self);
        report->words = words.release();
        report->writer = new tree::ReportWriter(*as_findings(self)->findings, *report->words,
                                                std::move(shape), error_text_utf8);
        return made;
    });
}

// Where the check kept a state: its chunks (all, or those with a record
// read anew), its digests that differ, and its counts. None otherwise.
PyObject* findings_state_chunks(PyObject* self, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        int changed_only = 0;
        static const char* keyword_names[] = {"changed_only", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, "|$p:state_chunks",
                                         const_cast<char**>(keyword_names), &changed_only)) {
            return std::unexpected(fetch());
        }
        const tree::TreeState* state = as_findings(self)->findings->state();
        if (state == nullptr) {
            return PyRef::borrow(Py_None);
        }
        return chunks_to_py(state->packed(changed_only != 0));
    });
}

PyObject* findings_state_digests(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const tree::TreeState* state = as_findings(self)->findings->state();
        if (state == nullptr) {
            return PyRef::borrow(Py_None);
        }
        return other_digests_to_py(*state);
    });
}

PyObject* findings_state_counts(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const auto counts = as_findings(self)->findings->state_counts();
        return counts ? state_counts_to_py(*counts) : PyRef::borrow(Py_None);
    });
}

PyMethodDef FINDINGS_METHODS[] = {
    {"state_chunks",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(findings_state_chunks)),
     METH_VARARGS | METH_KEYWORDS,
     "state_chunks($self, /, *, changed_only=False)\n--\n\nThe state the check kept, as it "
     "leaves it: a list of (place of the first record, bytes) chunks, all or only those with a "
     "record read anew; None where no state was kept."},
    {"state_digests", findings_state_digests, METH_NOARGS,
     "state_digests($self)\n--\n\nThe digests read that differ from the manifest's, a list of "
     "(place, 32 bytes); None where no state was kept."},
    {"state_counts", findings_state_counts, METH_NOARGS,
     "state_counts($self)\n--\n\n(trusted, read, scrubbed, oldest_read_ns): how many listed "
     "files the state let the check trust, how many files it read and scrubbed, and when the "
     "file read longest ago was read (ns since 1970; 0: none); None where no state was kept."},
    {"failures", findings_failures, METH_NOARGS,
     "failures($self)\n--\n\n(path, kind, message) of each entry that could not be read, in path "
     "order, but for those below a directory that could not be listed: what a check names on "
     "standard error."},
    {"report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(findings_report)),
     METH_VARARGS | METH_KEYWORDS,
     "report($self, states, state_keys, omissions, came, state_summary, state_summary_keys, /, "
     "*, counted=None, json=False, quiet=False, verbose=False, ignore_missing=False)\n--\n\nThe "
     "report of these findings, in the words given (each PathState as a line names it and as "
     "JSON keys it, each LeftOutKind, each Came as JSON names it, and what the summary of a "
     "check that kept a state counts, as text and as JSON keys): an iterator of bytes chunks, "
     "about 64 KiB of whole lines each. counted: the PathStates the summary counts, in its "
     "order (None: all)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FINDINGS_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(findings_dealloc)},
    {Py_tp_methods, FINDINGS_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(findings_length)},
    {Py_tp_iter, reinterpret_cast<void*>(findings_iter)},
    {Py_tp_doc,
     const_cast<char*>("Every path of a check or a comparison with its state, in the order "
                       "of the paths' bytes, made as it is iterated; each item (path, state, "
                       "expected, actual, kind, message, below, moved_to, came).")},
    {0, nullptr},
};

PyType_Spec FINDINGS_SPEC = {
    "driftmoor_tree.Findings",
    sizeof(FindingsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    FINDINGS_SLOTS,
};

PyObject* report_next(PyObject* self) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        std::string chunk;
        Py_BEGIN_CRITICAL_SECTION(self);
        chunk = as_report(self)->writer->next_chunk();
        Py_END_CRITICAL_SECTION();
        if (chunk.empty()) {
            return PyRef();  // the end: no exception, no item
        }
        return bytes_of(chunk);
    });
}

PyObject* report_status(PyObject* self, void*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        return created_or_panic(PyLong_FromLong(as_report(self)->writer->status()));
    });
}

PyObject* report_count(PyObject* self, PyObject* state) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const long value = PyLong_AsLong(state);
        if (value < 0 || value >= static_cast<long>(tree::PATH_STATE_COUNT)) {
            PyErr_Clear();
            return std::unexpected(value_error("state must be a PathState"));
        }
        return created_or_panic(PyLong_FromUnsignedLongLong(
            as_report(self)->writer->count(static_cast<tree::PathState>(value))));
    });
}

PyObject* report_not_unicode(PyObject* self, PyObject*) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        PyRef paths = created_or_panic(PyList_New(0));
        for (const std::string& path : as_report(self)->writer->not_unicode()) {
            if (auto appended = checked_status(PyList_Append(paths.get(), bytes_of(path).get()));
                !appended) {
                return std::unexpected(std::move(appended).error());
            }
        }
        return paths;
    });
}

PyMethodDef REPORT_METHODS[] = {
    {"count", report_count, METH_O,
     "count($self, state, /)\n--\n\nHow many paths of the state the report counts."},
    {"not_unicode", report_not_unicode, METH_NOARGS,
     "not_unicode($self)\n--\n\nThe paths left out of a JSON report so far, which JSON cannot "
     "hold."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef REPORT_GETSET[] = {
    {"status", report_status, nullptr,
     "0 when every path the report covers is ok or passed over, else 1 (also once a JSON "
     "report left a path out).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot REPORT_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(report_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(report_next)},
    {Py_tp_methods, REPORT_METHODS},
    {Py_tp_getset, REPORT_GETSET},
    {Py_tp_doc, const_cast<char*>("The report of Findings, as bytes chunks of whole lines.")},
    {0, nullptr},
};

PyType_Spec REPORT_SPEC = {
    "driftmoor_tree.Report",
    sizeof(ReportObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    REPORT_SLOTS,
};

Outcome<PyRef> made_type(PyObject* module, PyType_Spec& spec, bool public_name) {
    auto type = checked(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) {
        return type;
    }
    if (public_name) {
        if (auto added = checked_status(
                PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type->get())));
            !added) {
            return std::unexpected(std::move(added).error());
        }
    }
    return type;
}

}  // namespace

Outcome<void> add_tree_check_types(PyObject* module, TreeModuleState& state) {
    auto problem =
        checked(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&PROBLEM_DESCRIPTION)));
    if (!problem) {
        return std::unexpected(std::move(problem).error());
    }
    if (auto added =
            checked_status(PyModule_AddObjectRef(module, "ManifestProblem", problem->get()));
        !added) {
        return added;
    }
    auto manifest = made_type(module, MANIFEST_SPEC, true);
    auto findings = manifest ? made_type(module, FINDINGS_SPEC, true) : Outcome<PyRef>(PyRef());
    auto report = findings ? made_type(module, REPORT_SPEC, true) : Outcome<PyRef>(PyRef());
    auto iterator =
        report ? made_type(module, FINDINGS_ITERATOR_SPEC, false) : Outcome<PyRef>(PyRef());
    if (!manifest || !findings || !report || !iterator) {
        return std::unexpected(!manifest   ? std::move(manifest).error()
                               : !findings ? std::move(findings).error()
                               : !report   ? std::move(report).error()
                                           : std::move(iterator).error());
    }
    state.manifest_problem_type = problem->release();
    state.listed_manifest_type = manifest->release();
    state.findings_type = findings->release();
    state.report_type = report->release();
    state.findings_iterator_type = iterator->release();
    return {};
}

PyObject* py_check(PyObject* module, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const TreeModuleState& state = tree_state_of_module(module);
        tree::CheckPlan plan;
        PyObject* manifest_object = nullptr;
        PyObject* tree_object = nullptr;
        const char* starts[3] = {"", "", ""};
        Py_ssize_t start_sizes[3] = {0, 0, 0};
        WalkArguments arguments;
        PyObject* state_chunks = nullptr;
        PyObject* state_digests = nullptr;
        Py_ssize_t scrub = 0;
        PyObject* walked_object = Py_None;
        static const char* keyword_names[] = {
            "",      "tree",          "listed_start", "checked_start", "walked_start",
            "jobs",  "exclude",       "progress",     "links",         "one_file_system",
            "state", "state_digests", "scrub",        "walked",        nullptr};
        if (!PyArg_ParseTupleAndKeywords(
                args, keywords, "O|$Oy#y#y#nOOOpOOnO:check", const_cast<char**>(keyword_names),
                &manifest_object, &tree_object, &starts[0], &start_sizes[0], &starts[1],
                &start_sizes[1], &starts[2], &start_sizes[2], &arguments.jobs, &arguments.exclude,
                &arguments.progress, &arguments.links, &arguments.one_file_system, &state_chunks,
                &state_digests, &scrub, &walked_object)) {
            return std::unexpected(fetch());
        }
        if (scrub < 0) {
            return std::unexpected(value_error("scrub must not be negative"));
        }
        plan.scrub_every = static_cast<std::size_t>(scrub);
        plan.listed_start.assign(starts[0], static_cast<std::size_t>(start_sizes[0]));
        plan.checked_start.assign(starts[1], static_cast<std::size_t>(start_sizes[1]));
        plan.walked_start.assign(starts[2], static_cast<std::size_t>(start_sizes[2]));
        if (tree_object != nullptr && tree_object != Py_None) {
            auto tree_path = bytes_argument(tree_object);
            if (!tree_path) {
                return std::unexpected(std::move(tree_path).error());
            }
            plan.tree.emplace(*tree_path);
        }
        HeldBuffer progress_buffer;
        if (auto taken =
                take_walk_arguments(arguments, walk::LinkRule::Inside, plan.walk, progress_buffer);
            !taken) {
            return std::unexpected(std::move(taken).error());
        }
        if (walked_object != Py_None && !plan.tree) {
            return std::unexpected(value_error("walked is the walk of a tree: give the tree"));
        }
        // The state is made before the manifest is taken, so that a state
        // refused leaves the manifest to be checked without it.
        std::optional<tree::TreeState> kept;
        if (state_chunks != nullptr && state_chunks != Py_None) {
            if (auto usable = usable_manifest(state, manifest_object); !usable) {
                return std::unexpected(std::move(usable).error());
            }
            auto made =
                state_from_py(state_chunks, state_digests != nullptr ? state_digests : Py_None,
                              static_cast<std::size_t>(manifest_length(manifest_object)));
            if (!made) {
                return std::unexpected(std::move(made).error());
            }
            kept.emplace(std::move(*made));
        }
        // The manifest, the state and the walk all looked at before any is
        // taken, so that a refusal takes none.
        if (auto usable = usable_manifest(state, manifest_object); !usable) {
            return std::unexpected(std::move(usable).error());
        }
        // A walk made already, or the function that makes it once told
        // what the check may take unread.
        std::optional<tree::TreeAccount> walked;
        PyObject* gather = nullptr;
        if (walked_object != Py_None && PyCallable_Check(walked_object)) {
            gather = walked_object;
        } else if (walked_object != Py_None) {
            auto taken = take_gathered_walk(walked_object);
            if (!taken) {
                return std::unexpected(std::move(taken).error());
            }
            walked.emplace(std::move(*taken));
        }
        auto manifest = take_manifest(state, manifest_object);
        if (!manifest) {
            return std::unexpected(std::move(manifest).error());
        }
        return with_stack_room(" in check", [&]() -> Outcome<PyRef> {
            auto pending = run_detached(
                [&] { return tree::ready_check(std::move(*manifest), plan, std::move(kept)); });
            if (gather != nullptr) {
                auto table =
                    wrap_trust_table(state, run_detached([&] { return pending->trust_table(); }));
                if (!table) {
                    return std::unexpected(std::move(table).error());
                }
                const PyRef made = PyRef::steal(PyObject_CallOneArg(gather, table->get()));
                if (!made) {
                    return std::unexpected(fetch());
                }
                auto taken = take_gathered_walk(made.get());
                if (!taken) {
                    return std::unexpected(std::move(taken).error());
                }
                walked.emplace(std::move(*taken));
            }
            platform::Cancellation cancellation = signal_cancellation();
            auto findings =
                run_detached([&] { return pending->run(cancellation, std::move(walked)); });
            if (!findings) {
                return std::unexpected(error_to_exception(std::move(findings).error()));
            }
            return wrap_findings(state, std::move(*findings));
        });
    });
}

PyObject* py_recorded_state(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (auto counted = positional("recorded_state", nargs, 2); !counted) {
            return std::unexpected(std::move(counted).error());
        }
        const TreeModuleState& state = tree_state_of_module(module);
        auto reads = bytes_argument(args[1]);
        if (!reads) {
            return std::unexpected(std::move(reads).error());
        }
        auto records = tree::unpack_records(*reads);
        if (!records) {
            return std::unexpected(value_error("reads must be whole records"));
        }
        if (auto usable = usable_manifest(state, args[0]); !usable) {
            return std::unexpected(std::move(usable).error());
        }
        return with_manifest(args[0], true, [&](ListedManifestObject& object) -> Outcome<PyRef> {
            return chunks_to_py(
                tree::state_of_reads(*object.manifest, std::move(*records)).packed(false));
        });
    });
}

PyObject* py_compare(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (auto counted = positional("compare", nargs, 2); !counted) {
            return std::unexpected(std::move(counted).error());
        }
        const TreeModuleState& state = tree_state_of_module(module);
        if (args[0] == args[1]) {
            return std::unexpected(value_error("a manifest cannot be compared with itself"));
        }
        // Both looked at before either is taken, so that a refusal takes
        // neither.
        for (PyObject* object : {args[0], args[1]}) {
            if (auto usable = usable_manifest(state, object); !usable) {
                return std::unexpected(std::move(usable).error());
            }
        }
        auto old_one = take_manifest(state, args[0]);
        if (!old_one) {
            return std::unexpected(std::move(old_one).error());
        }
        auto new_one = take_manifest(state, args[1]);
        if (!new_one) {
            return std::unexpected(std::move(new_one).error());
        }
        return wrap_findings(state,
                             tree::compare_manifests(std::move(*old_one), std::move(*new_one)));
    });
}

}  // namespace driftmoor::binding
