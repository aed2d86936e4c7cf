#include "binding/part_functions.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "binding/arguments.h"
#include "binding/call_wrapper.h"
#include "binding/conversions.h"
#include "binding/detached.h"
#include "binding/int_enum.h"
#include "binding/manifest_lines.h"
#include "binding/os_error_conversion.h"
#include "binding/signal_check.h"
#include "binding/stack_room.h"
#include "binding/tree_module_state.h"
#include "binding/tree_walk_conversion.h"
#include "binding/walk_options.h"
#include "digest/file_digest.h"
#include "platform/metadata.h"
#include "platform/path_text.h"
#include "tree/part_run.h"
#include "tree/run_merge.h"
#include "tree/tree_account.h"
#include "tree/tree_part.h"

namespace driftmoor::binding {
namespace {

// An identity on the wire: the device and the inode, 8 bytes each,
// little-endian.
constexpr std::size_t IDENTITY_SIZE = 16;

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::string_view view_of(PyObject* bytes) noexcept {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

void append_u64(std::string& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint64_t read_u64(std::string_view in) noexcept {
    std::uint64_t value = 0;
    for (int byte = 0; byte < 8; ++byte) {
        value |= std::uint64_t{static_cast<unsigned char>(in[byte])} << (8 * byte);
    }
    return value;
}

std::string identities_text(const std::vector<platform::FileIdentity>& identities) {
    std::string text;
    text.reserve(identities.size() * IDENTITY_SIZE);
    for (const platform::FileIdentity& identity : identities) {
        append_u64(text, identity.device);
        append_u64(text, identity.inode);
    }
    return text;
}

Outcome<std::vector<platform::FileIdentity>> identities_of(std::string_view text) {
    if (text.size() % IDENTITY_SIZE != 0) {
        return std::unexpected(value_error("above must hold 16 bytes per directory"));
    }
    std::vector<platform::FileIdentity> identities;
    for (std::size_t at = 0; at < text.size(); at += IDENTITY_SIZE) {
        identities.push_back({read_u64(text.substr(at)), read_u64(text.substr(at + 8))});
    }
    return identities;
}

// What travels back of an entry left out: (path, kind, code, text), the
// system's code of the error where it has one, to be worded where it is
// shown (in that machine's language), else the error's own text; both None
// for what was passed over by design.
PyRef left_out_item(const TreeModuleState& state, const tree::LeftOutEntry& entry) {
    PyRef code = PyRef::borrow(Py_None);
    PyRef text = PyRef::borrow(Py_None);
    if (walk::is_failure(entry.omission) && entry.error) {
        if (const auto* os_code = std::get_if<platform::OsError::OsCode>(&entry.error->variant())) {
            code = created_or_panic(PyLong_FromLong(os_code->code));
        } else {
            text = error_message(*entry.error);
        }
    }
    return created_or_panic(
        PyTuple_Pack(4, bytes_of(entry.path).get(),
                     enum_member(state.left_out_kinds, static_cast<std::size_t>(entry.omission)),
                     code.get(), text.get()));
}

PyRef part_item(const walk::WalkPart& part) {
    const PyRef depth = created_or_panic(PyLong_FromSize_t(part.depth));
    return created_or_panic(PyTuple_Pack(5, bytes_of(part.directory_path).get(),
                                         bytes_of(part.name).get(),
                                         bool_to_py(part.through_link).get(),
                                         bytes_of(identities_text(part.above)).get(), depth.get()));
}

digest::FileDigest hex_text(const unsigned char* bytes) noexcept {
    digest::Sha256Digest digest;
    std::memcpy(digest.data(), bytes, digest.size());
    return digest::hex_encode(digest);
}

Outcome<void> append_to(PyObject* list, const PyRef& item) {
    return checked_status(PyList_Append(list, item.get()));
}

}  // namespace

PyObject* py_walk_part(PyObject* module, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const char* top_data = nullptr;
        Py_ssize_t top_size = 0;
        PyObject* directory = Py_None;
        const char* name_data = "";
        Py_ssize_t name_size = 0;
        int through_link = 0;
        const char* above_data = "";
        Py_ssize_t above_size = 0;
        Py_ssize_t depth = 0;
        unsigned long long most_work = ~0ULL;
        double most_seconds = -1;
        WalkArguments arguments;
        static const char* keyword_names[] = {"",
                                              "directory",
                                              "name",
                                              "through_link",
                                              "above",
                                              "depth",
                                              "most_work",
                                              "most_seconds",
                                              "jobs",
                                              "exclude",
                                              "progress",
                                              "links",
                                              "one_file_system",
                                              "record_reads",
                                              "trust",
                                              nullptr};
        int record_reads = 0;
        PyObject* trust = Py_None;
        if (!PyArg_ParseTupleAndKeywords(
                args, keywords, "y#|$Oy#py#nKdnOOOppO:walk_part", const_cast<char**>(keyword_names),
                &top_data, &top_size, &directory, &name_data, &name_size, &through_link,
                &above_data, &above_size, &depth, &most_work, &most_seconds, &arguments.jobs,
                &arguments.exclude, &arguments.progress, &arguments.links,
                &arguments.one_file_system, &record_reads, &trust)) {
            return std::unexpected(fetch());
        }
        if (trust != Py_None && !PyBytes_Check(trust)) {
            return std::unexpected(type_mismatch(trust, "bytes or None"));
        }
        if (directory != Py_None && !PyBytes_Check(directory)) {
            return std::unexpected(type_mismatch(directory, "bytes or None"));
        }
        if (depth < 0) {
            return std::unexpected(value_error("depth must not be negative"));
        }
        const std::string_view top(top_data, static_cast<std::size_t>(top_size));
        tree::AccountOptions options;
        options.records_reads = record_reads != 0;
        std::optional<tree::PartTrust> judge;
        if (trust != Py_None) {
            judge = tree::PartTrust::unpack(top, view_of(trust));
            if (!judge) {
                return std::unexpected(value_error("trust is not a packed trust table"));
            }
            options.judge = &*judge;
        }
        HeldBuffer progress_buffer;
        if (auto taken =
                take_walk_arguments(arguments, walk::LinkRule::All, options, progress_buffer);
            !taken) {
            return std::unexpected(std::move(taken).error());
        }
        // The bound counts the work by the walk's own counts, which the
        // caller need not ask for.
        alignas(std::uint64_t) std::array<std::uint64_t, 2> own_counts{};
        if (options.files_done == nullptr) {
            options.files_done = &own_counts[0];
        }
        if (options.bytes_done == nullptr) {
            options.bytes_done = &own_counts[1];
        }
        std::optional<walk::WalkPart> part;
        if (directory != Py_None) {
            auto above = identities_of(std::string_view(above_data, std::size_t(above_size)));
            if (!above) {
                return std::unexpected(std::move(above).error());
            }
            part = walk::WalkPart{.directory_path = std::string(view_of(directory)),
                                  .name = std::string(name_data, std::size_t(name_size)),
                                  .through_link = through_link != 0,
                                  .above = std::move(*above),
                                  .depth = static_cast<std::size_t>(depth)};
            options.part = &*part;
        }
        // None given (negative): no time limit.
        const std::uint64_t most_milliseconds =
            most_seconds < 0 || most_seconds > 1e12
                ? UINT64_MAX
                : static_cast<std::uint64_t>(most_seconds * 1000);
        tree::PartBound bound(most_work, most_milliseconds, *options.files_done,
                              *options.bytes_done);
        options.taker = &bound;

        return with_stack_room(" in walk_part", [&]() -> Outcome<PyRef> {
            platform::Cancellation cancellation = signal_cancellation();
            auto account =
                run_detached([&] { return tree::account_tree(top, options, cancellation); });
            if (!account) {
                return std::unexpected(error_to_exception(std::move(account).error()));
            }
            const std::string walked_from =
                part ? platform::join_path(part->directory_path, part->name) : std::string(top);
            // Taken unread or read: done, as a progress line counts them.
            const std::uint64_t files =
                account->file_count +
                static_cast<std::uint64_t>(std::ranges::count_if(
                    account->judged, [](const tree::JudgedFile& judged) { return judged.taken; }));
            const std::vector<tree::LeftOutEntry> left_out = std::move(account->left_out);
            const std::string run =
                run_detached([&] { return tree::sorted_run(std::move(*account), walked_from); });
            const TreeModuleState& state = tree_state_of_module(module);
            PyRef failures = created_or_panic(PyList_New(0));
            PyRef passed_over = created_or_panic(PyList_New(0));
            for (const tree::LeftOutEntry& entry : left_out) {
                PyObject* list =
                    walk::is_failure(entry.omission) ? failures.get() : passed_over.get();
                if (auto added = append_to(list, left_out_item(state, entry)); !added) {
                    return std::unexpected(std::move(added).error());
                }
            }
            PyRef parts = created_or_panic(PyList_New(0));
            for (const walk::WalkPart& taken : bound.taken()) {
                if (auto added = append_to(parts.get(), part_item(taken)); !added) {
                    return std::unexpected(std::move(added).error());
                }
            }
            const PyRef file_count = created_or_panic(PyLong_FromUnsignedLongLong(files));
            const PyRef byte_count = created_or_panic(PyLong_FromUnsignedLongLong(
                std::atomic_ref(*options.bytes_done).load(std::memory_order_relaxed)));
            return created_or_panic(PyTuple_Pack(
                7, bytes_of(run).get(), file_count.get(), byte_count.get(), failures.get(),
                passed_over.get(), parts.get(),
                enum_member(state.root_kinds, static_cast<std::size_t>(account->root_type))));
        });
    });
}

PyObject* py_shared_identity(PyObject*, PyObject* path) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (!PyBytes_Check(path)) {
            return std::unexpected(type_mismatch(path, "bytes"));
        }
        auto identity = platform::query_shared_identity(view_of(path));
        if (!identity) {
            return std::unexpected(error_to_exception(std::move(identity).error()));
        }
        const PyRef device = created_or_panic(PyLong_FromUnsignedLongLong(identity->device));
        const PyRef inode = created_or_panic(PyLong_FromUnsignedLongLong(identity->inode));
        return created_or_panic(PyTuple_Pack(2, device.get(), inode.get()));
    });
}

PyObject* py_os_error_message(PyObject*, PyObject* code) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (!PyLong_Check(code)) {
            return std::unexpected(type_mismatch(code, "int"));
        }
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(code, &overflow);
        if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
            return std::unexpected(value_error("code out of range"));
        }
        return error_message(platform::OsError::from_os_code(static_cast<std::int32_t>(value)));
    });
}

PyObject* py_run_reads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (nargs != 2 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
            return std::unexpected(FailureValue::with_message(
                PyExc_TypeError, "run_reads() takes a directory and a run, both bytes"));
        }
        if (!tree::run_file_count(view_of(args[1]))) {
            return std::unexpected(value_error("not a sorted run of names and digests"));
        }
        return bytes_of(tree::run_reads(view_of(args[0]), view_of(args[1])));
    });
}

// --- RunMerge ------------------------------------------------------------------

namespace {

struct RunMergeObject {
    PyObject_HEAD
        // Owned.
        tree::RunMerge* merge;
    LineStyle style;
};

RunMergeObject* as_merge(PyObject* self) noexcept {
    return reinterpret_cast<RunMergeObject*>(self);
}

// About what one call gives out: the lines of a manifest are written in
// chunks of this size, and a call holds the interpreter no longer than it
// takes to make one.
constexpr std::size_t CHUNK_SIZE = std::size_t{64} << 10;
constexpr std::size_t PAIRS_PER_CALL = 4096;

// Runs `work(merge, style)` under the object's critical section: a build
// without the interpreter lock needs it, as the merge changes as it is read.
template <class Work>
Outcome<PyRef> with_merge(PyObject* self, Work&& work) {
    std::optional<Outcome<PyRef>> result;
    Py_BEGIN_CRITICAL_SECTION(self);
    result.emplace(work(*as_merge(self)->merge, as_merge(self)->style));
    Py_END_CRITICAL_SECTION();
    return std::move(*result);
}

Outcome<std::optional<std::string_view>> limit_of(PyObject* limit) {
    if (limit == Py_None) {
        return std::nullopt;
    }
    if (!PyBytes_Check(limit)) {
        return std::unexpected(type_mismatch(limit, "bytes or None"));
    }
    return view_of(limit);
}

PyObject* merge_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const char* format = "sha256sum";
        static const char* keyword_names[] = {"format", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, "|s:RunMerge",
                                         const_cast<char**>(keyword_names), &format)) {
            return std::unexpected(fetch());
        }
        const std::string_view style(format);
        if (style != "sha256sum" && style != "bsd") {
            return std::unexpected(value_error("format must be 'sha256sum' or 'bsd'"));
        }
        auto merge = std::make_unique<tree::RunMerge>();
        PyRef made = created_or_panic(type->tp_alloc(type, 0));
        as_merge(made.get())->merge = merge.release();
        as_merge(made.get())->style = style == "bsd" ? LineStyle::Bsd : LineStyle::Sha256sum;
        return made;
    });
}

void merge_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_merge(self)->merge;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* merge_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (nargs != 2 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
            return std::unexpected(FailureValue::with_message(
                PyExc_TypeError, "add() takes a directory and a run, both bytes"));
        }
        std::string run(view_of(args[1]));
        return with_merge(self, [&](tree::RunMerge& merge, LineStyle) -> Outcome<PyRef> {
            if (!merge.add(view_of(args[0]), std::move(run))) {
                return std::unexpected(value_error("not a sorted run of names and digests"));
            }
            return PyRef::borrow(Py_None);
        });
    });
}

PyObject* merge_take(PyObject* self, PyObject* limit_object) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        auto limit = limit_of(limit_object);
        if (!limit) {
            return std::unexpected(std::move(limit).error());
        }
        return with_merge(self, [&](tree::RunMerge& merge, LineStyle style) -> Outcome<PyRef> {
            std::string chunk;
            chunk.reserve(CHUNK_SIZE + 512);
            merge.drain(*limit, [&](std::string_view path, const unsigned char* digest) {
                append_manifest_line(chunk, path, hex_text(digest).text(), style);
                return chunk.size() < CHUNK_SIZE;
            });
            return bytes_of(chunk);
        });
    });
}

PyObject* merge_pairs(PyObject* self, PyObject* limit_object) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        auto limit = limit_of(limit_object);
        if (!limit) {
            return std::unexpected(std::move(limit).error());
        }
        return with_merge(self, [&](tree::RunMerge& merge, LineStyle) -> Outcome<PyRef> {
            PyRef pairs = created_or_panic(PyList_New(0));
            std::optional<FailureValue> failure;
            std::size_t given = 0;
            merge.drain(*limit, [&](std::string_view path, const unsigned char* digest) {
                const PyRef pair = created_or_panic(PyTuple_Pack(
                    2, bytes_of(path).get(), text_to_str(hex_text(digest).text()).get()));
                if (auto added = append_to(pairs.get(), pair); !added) {
                    failure.emplace(std::move(added).error());
                    return false;
                }
                return ++given < PAIRS_PER_CALL;
            });
            if (failure) {
                return std::unexpected(std::move(*failure));
            }
            return pairs;
        });
    });
}

Py_ssize_t merge_length(PyObject* self) {
    Py_ssize_t held = 0;
    Py_BEGIN_CRITICAL_SECTION(self);
    held = static_cast<Py_ssize_t>(as_merge(self)->merge->held_files());
    Py_END_CRITICAL_SECTION();
    return held;
}

PyObject* merge_held_bytes(PyObject* self, void*) {
    std::size_t held = 0;
    Py_BEGIN_CRITICAL_SECTION(self);
    held = as_merge(self)->merge->held_bytes();
    Py_END_CRITICAL_SECTION();
    return PyLong_FromSize_t(held);
}

PyMethodDef MERGE_METHODS[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_add)), METH_FASTCALL,
     "add($self, directory, run, /)\n--\n\nTakes a sorted run of the files below directory "
     "(the path the lines show it by), as walk_part gives it; ValueError if it is not one."},
    {"take", merge_take, METH_O,
     "take($self, limit, /)\n--\n\nThe next lines, in path order, of the files whose paths "
     "sort before limit (bytes; None: every file held), about 64 KiB of whole lines at "
     "most; b'' when there are none."},
    {"pairs", merge_pairs, METH_O,
     "pairs($self, limit, /)\n--\n\nThe same as (path, digest) pairs, a few thousand at "
     "most; [] when there are none."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MERGE_GETSET[] = {
    {"held_bytes", merge_held_bytes, nullptr,
     "The bytes of the runs whose files are not given out yet.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MERGE_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(merge_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(merge_dealloc)},
    {Py_tp_methods, MERGE_METHODS},
    {Py_tp_getset, MERGE_GETSET},
    {Py_sq_length, reinterpret_cast<void*>(merge_length)},
    {Py_tp_doc, const_cast<char*>("RunMerge(format='sha256sum')\n--\n\nThe sorted runs of a tree's "
                                  "parts, merged into manifest lines in the order of their paths "
                                  "(format: 'sha256sum' or 'bsd'); len() is the files held.")},
    {0, nullptr},
};

PyType_Spec MERGE_SPEC = {
    "driftmoor_tree.RunMerge",
    sizeof(RunMergeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    MERGE_SLOTS,
};

// --- TrustTable ----------------------------------------------------------------

struct TrustTableObject {
    PyObject_HEAD
        // Owned.
        tree::TrustTable* table;
};

TrustTableObject* as_trust(PyObject* self) noexcept {
    return reinterpret_cast<TrustTableObject*>(self);
}

void trust_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_trust(self)->table;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* trust_below(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (nargs != 2 || !PyBytes_Check(args[0]) || !PyBool_Check(args[1])) {
            return std::unexpected(FailureValue::with_message(
                PyExc_TypeError, "below() takes a directory (bytes) and whole (bool)"));
        }
        // Never changed once made: read without a critical section.
        return bytes_of(as_trust(self)->table->packed_below(view_of(args[0]), args[1] == Py_True));
    });
}

Py_ssize_t trust_length(PyObject* self) {
    return static_cast<Py_ssize_t>(as_trust(self)->table->size());
}

PyMethodDef TRUST_METHODS[] = {
    {"below", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trust_below)),
     METH_FASTCALL,
     "below($self, directory, whole, /)\n--\n\nThe entries of the files below directory (a "
     "path relative to the top, b'' for the top), only those in it unless whole, packed for "
     "walk_part's trust."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TRUST_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(trust_dealloc)},
    {Py_tp_methods, TRUST_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(trust_length)},
    {Py_tp_doc,
     const_cast<char*>("What a check with a state may take unread where its tree is walked "
                       "elsewhere: the listed files whose records it would trust, by their "
                       "paths below the top, for walk_part's trust. Made by check; len() is "
                       "the files.")},
    {0, nullptr},
};

PyType_Spec TRUST_SPEC = {
    "driftmoor_tree.TrustTable",
    sizeof(TrustTableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    TRUST_SLOTS,
};

// --- GatheredWalk ---------------------------------------------------------------

// An error that travelled from another machine as its display text alone:
// what a report shows of it is that text.
class CarriedError final : public platform::CustomErrorObject {
  public:
    explicit CarriedError(std::string text) noexcept : text_(std::move(text)) {}
    std::string display_text() const override { return text_; }

  private:
    std::string text_;
};

struct GatheredWalkObject {
    PyObject_HEAD
        // Owned; null once a check has taken it.
        tree::TreeAccount* account;
};

GatheredWalkObject* as_gathered(PyObject* self) noexcept {
    return reinterpret_cast<GatheredWalkObject*>(self);
}

// Runs `work(account)` under the object's critical section, or fails when
// a check has taken the account.
template <class Work>
Outcome<PyRef> with_account(PyObject* self, Work&& work) {
    std::optional<Outcome<PyRef>> result;
    Py_BEGIN_CRITICAL_SECTION(self);
    tree::TreeAccount* account = as_gathered(self)->account;
    if (account == nullptr) {
        result.emplace(std::unexpected(value_error("the GatheredWalk was taken by a check")));
    } else {
        result.emplace(work(*account));
    }
    Py_END_CRITICAL_SECTION();
    return std::move(*result);
}

PyObject* gathered_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        static const char* keyword_names[] = {nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, ":GatheredWalk",
                                         const_cast<char**>(keyword_names))) {
            return std::unexpected(fetch());
        }
        auto account = std::make_unique<tree::TreeAccount>();
        PyRef made = created_or_panic(type->tp_alloc(type, 0));
        as_gathered(made.get())->account = account.release();
        return made;
    });
}

void gathered_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_gathered(self)->account;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* gathered_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (nargs != 2 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
            return std::unexpected(FailureValue::with_message(
                PyExc_TypeError, "add() takes a directory and a run, both bytes"));
        }
        return with_account(self, [&](tree::TreeAccount& account) -> Outcome<PyRef> {
            if (!tree::add_run(account, view_of(args[0]), view_of(args[1]))) {
                return std::unexpected(value_error("not a sorted run of names and digests"));
            }
            return PyRef::borrow(Py_None);
        });
    });
}

// The error that travelled with an entry left out: the system's error
// number, or the error's own words; none for neither.
Outcome<std::optional<platform::OsError>> carried_error(PyObject* code, PyObject* text) {
    if (code != Py_None) {
        if (!PyLong_Check(code)) {
            return std::unexpected(type_mismatch(code, "int or None"));
        }
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(code, &overflow);
        if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
            return std::unexpected(value_error("code out of range"));
        }
        return platform::OsError::from_os_code(static_cast<std::int32_t>(value));
    }
    if (text == Py_None) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(text)) {
        return std::unexpected(type_mismatch(text, "str or None"));
    }
    // Back to the bytes that were worded (as error_message words them).
    const PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    if (!encoded) {
        return std::unexpected(fetch());
    }
    return platform::OsError::custom(
        platform::ErrorKind::UncategorizedError,
        std::make_unique<CarriedError>(std::string(view_of(encoded.get()))));
}

PyObject* gathered_leave_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        if (nargs != 4 || !PyBytes_Check(args[0]) || !PyLong_Check(args[1])) {
            return std::unexpected(FailureValue::with_message(
                PyExc_TypeError,
                "leave_out() takes a path (bytes), a LeftOutKind, a code and a text"));
        }
        const long kind = PyLong_AsLong(args[1]);
        if (kind < 0 || kind >= static_cast<long>(walk::OMISSION_KINDS)) {
            if (PyErr_Occurred() != nullptr) {
                PyErr_Clear();
            }
            return std::unexpected(value_error("kind must be a LeftOutKind"));
        }
        auto error = carried_error(args[2], args[3]);
        if (!error) {
            return std::unexpected(std::move(error).error());
        }
        return with_account(self, [&](tree::TreeAccount& account) -> Outcome<PyRef> {
            account.left_out.push_back({std::string(view_of(args[0])),
                                        static_cast<walk::Omission>(kind), std::move(*error)});
            return PyRef::borrow(Py_None);
        });
    });
}

Py_ssize_t gathered_length(PyObject* self) {
    Py_ssize_t files = 0;
    Py_BEGIN_CRITICAL_SECTION(self);
    const tree::TreeAccount* account = as_gathered(self)->account;
    files = account != nullptr ? static_cast<Py_ssize_t>(account->file_count) : 0;
    Py_END_CRITICAL_SECTION();
    return files;
}

PyMethodDef GATHERED_METHODS[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gathered_add)),
     METH_FASTCALL,
     "add($self, directory, run, /)\n--\n\nAdds the files of a sorted run of the files below "
     "directory (the path the walk of the whole tree gives it), as walk_part gives it; "
     "ValueError if it is not one."},
    {"leave_out", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gathered_leave_out)),
     METH_FASTCALL,
     "leave_out($self, path, kind, code, text, /)\n--\n\nAdds an entry left out, as "
     "walk_part gives it: its path, its LeftOutKind, and the system's error number or the "
     "error's own words (or neither)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot GATHERED_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(gathered_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gathered_dealloc)},
    {Py_tp_methods, GATHERED_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(gathered_length)},
    {Py_tp_doc,
     const_cast<char*>("GatheredWalk()\n--\n\nThe account of a tree whose parts were walked "
                       "elsewhere (walk_part), gathered from what they gave back, for check "
                       "to take in place of its walk; len() is the files added.")},
    {0, nullptr},
};

PyType_Spec GATHERED_SPEC = {
    "driftmoor_tree.GatheredWalk",
    sizeof(GatheredWalkObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    GATHERED_SLOTS,
};

// The type made of `spec`, added to the module.
Outcome<PyRef> add_type(PyObject* module, PyType_Spec& spec) {
    auto type = checked(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) {
        return std::unexpected(std::move(type).error());
    }
    if (auto added =
            checked_status(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type->get())));
        !added) {
        return std::unexpected(std::move(added).error());
    }
    return std::move(*type);
}

}  // namespace

Outcome<void> add_part_types(PyObject* module, TreeModuleState& state) {
    for (PyType_Spec* spec : {&MERGE_SPEC, &GATHERED_SPEC}) {
        if (auto added = add_type(module, *spec); !added) {
            return std::unexpected(std::move(added).error());
        }
    }
    auto trust = add_type(module, TRUST_SPEC);
    if (!trust) {
        return std::unexpected(std::move(trust).error());
    }
    state.trust_table_type = trust->release();
    return {};
}

Outcome<PyRef> wrap_trust_table(const TreeModuleState& state, tree::TrustTable table) {
    auto owned = std::make_unique<tree::TrustTable>(std::move(table));
    auto* type = reinterpret_cast<PyTypeObject*>(state.trust_table_type);
    PyRef made = created_or_panic(type->tp_alloc(type, 0));
    as_trust(made.get())->table = owned.release();
    return made;
}

Outcome<tree::TreeAccount> take_gathered_walk(PyObject* object) {
    // Its own type, told by the deallocator only it has.
    if (PyType_GetSlot(Py_TYPE(object), Py_tp_dealloc) !=
        reinterpret_cast<void*>(gathered_dealloc)) {
        return std::unexpected(type_mismatch(object, "GatheredWalk"));
    }
    std::unique_ptr<tree::TreeAccount> account;
    Py_BEGIN_CRITICAL_SECTION(object);
    account.reset(std::exchange(as_gathered(object)->account, nullptr));
    Py_END_CRITICAL_SECTION();
    if (!account) {
        return std::unexpected(value_error("the GatheredWalk was taken by a check"));
    }
    return std::move(*account);
}

}  // namespace driftmoor::binding
