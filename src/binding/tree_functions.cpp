#include "binding/tree_functions.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/arguments.h"
#include "binding/call_wrapper.h"
#include "binding/conversions.h"
#include "binding/detached.h"
#include "binding/manifest_lines.h"
#include "binding/os_error_conversion.h"
#include "binding/signal_check.h"
#include "binding/stack_room.h"
#include "binding/tree_walk_conversion.h"
#include "tree/path_escape.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {
namespace {

// A writable buffer held for the length of a call.
class HeldBuffer {
  public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    Outcome<void> hold(PyObject* object) {
        if (auto taken = checked_status(PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE));
            !taken) {
            return taken;
        }
        held_ = true;
        return {};
    }
    void* data() const noexcept { return view_.buf; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

FailureValue value_error(std::string message) {
    return FailureValue::with_message(PyExc_ValueError, std::move(message));
}

// The (st_dev, st_ino) pair of a file to pass over.
Outcome<std::optional<platform::FileIdentity>> excluded_identity(PyObject* exclude) {
    if (exclude == nullptr || exclude == Py_None) {
        return std::nullopt;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!PyTuple_Check(exclude) || !PyArg_ParseTuple(exclude, "KK", &device, &inode)) {
        PyErr_Clear();
        return std::unexpected(FailureValue::with_message(
            PyExc_TypeError, "exclude must be a (st_dev, st_ino) tuple"));
    }
    return platform::FileIdentity{device, inode};
}

// Where the walk keeps its count of files: the first 64-bit word of a
// writable buffer.
Outcome<std::uint64_t*> progress_counter(PyObject* progress, HeldBuffer& buffer) {
    if (progress == nullptr || progress == Py_None) {
        return nullptr;
    }
    if (auto held = buffer.hold(progress); !held) {
        return std::unexpected(std::move(held).error());
    }
    if (buffer.size() < sizeof(std::uint64_t) ||
        reinterpret_cast<std::uintptr_t>(buffer.data()) % alignof(std::uint64_t) != 0) {
        return std::unexpected(
            value_error("progress must be a writable buffer of at least 8 aligned bytes"));
    }
    return static_cast<std::uint64_t*>(buffer.data());
}

}  // namespace

PyObject* py_walk(PyObject* module, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const char* path_data = nullptr;
        Py_ssize_t path_size = 0;
        Py_ssize_t jobs = 1;
        PyObject* exclude = nullptr;
        PyObject* progress = nullptr;
        static const char* keyword_names[] = {"", "jobs", "exclude", "progress", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, "y#|$nOO:walk",
                                         const_cast<char**>(keyword_names), &path_data, &path_size,
                                         &jobs, &exclude, &progress)) {
            return std::unexpected(fetch());
        }
        if (jobs < 1) {
            return std::unexpected(value_error("jobs must be at least 1"));
        }
        const std::string_view dir_path(path_data, static_cast<std::size_t>(path_size));
        tree::AccountOptions options;
        options.jobs = static_cast<std::size_t>(jobs);
        auto excluded = excluded_identity(exclude);
        if (!excluded) {
            return std::unexpected(std::move(excluded).error());
        }
        options.excluded_file = *excluded;
        HeldBuffer progress_buffer;
        auto counter = progress_counter(progress, progress_buffer);
        if (!counter) {
            return std::unexpected(std::move(counter).error());
        }
        options.files_done = *counter;

        return with_stack_room(" in walk", [&]() -> Outcome<PyRef> {
            // Detached for the whole walk, which touches no Python object;
            // the path's bytes stay valid because the caller's reference
            // keeps them.
            platform::Cancellation cancellation = signal_cancellation();
            auto account =
                run_detached([&] { return tree::account_tree(dir_path, options, cancellation); });
            if (!account) {
                return std::unexpected(error_to_exception(std::move(account).error()));
            }
            auto* state = static_cast<TreeModuleState*>(PyModule_GetState(module));
            return account_to_tree_walk(*state, std::move(*account));
        });
    });
}

PyObject* py_manifest_lines(PyObject*, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        PyObject* files = nullptr;
        const char* format = "sha256sum";
        static const char* keyword_names[] = {"", "format", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, keywords, "O|s:manifest_lines",
                                         const_cast<char**>(keyword_names), &files, &format)) {
            return std::unexpected(fetch());
        }
        const std::string_view style(format);
        if (style != "sha256sum" && style != "bsd") {
            return std::unexpected(value_error("format must be 'sha256sum' or 'bsd'"));
        }
        return manifest_lines(files, style == "bsd" ? LineStyle::Bsd : LineStyle::Sha256sum);
    });
}

namespace {

Outcome<std::string_view> bytes_argument(PyObject* object) {
    if (!PyBytes_Check(object)) {
        return std::unexpected(type_mismatch(object, "bytes"));
    }
    return std::string_view(PyBytes_AS_STRING(object),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace

PyObject* py_escape_path(PyObject*, PyObject* path) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        auto bytes = bytes_argument(path);
        if (!bytes) {
            return std::unexpected(std::move(bytes).error());
        }
        if (!tree::needs_escape(*bytes)) {
            return created_or_panic(PyTuple_Pack(2, bytes_of("").get(), path));
        }
        std::string escaped;
        tree::append_escaped(escaped, *bytes);
        return created_or_panic(PyTuple_Pack(2, bytes_of("\\").get(), bytes_of(escaped).get()));
    });
}

PyObject* py_unescape_path(PyObject*, PyObject* text) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        auto bytes = bytes_argument(text);
        if (!bytes) {
            return std::unexpected(std::move(bytes).error());
        }
        const auto path = tree::unescaped(*bytes);
        return path ? bytes_of(*path) : PyRef::borrow(Py_None);
    });
}

}  // namespace driftmoor::binding
