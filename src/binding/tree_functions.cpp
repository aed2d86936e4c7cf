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
#include "binding/walk_options.h"
#include "tree/path_escape.h"
#include "tree/path_spelling.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {
namespace {}  // namespace

PyObject* py_walk(PyObject* module, PyObject* args, PyObject* keywords) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        const char* path_data = nullptr;
        Py_ssize_t path_size = 0;
        WalkArguments arguments;
        int record_reads = 0;
        static const char* keyword_names[] = {
            "", "jobs", "exclude", "progress", "links", "one_file_system", "record_reads", nullptr};
        if (!PyArg_ParseTupleAndKeywords(
                args, keywords, "y#|$nOOOpp:walk", const_cast<char**>(keyword_names), &path_data,
                &path_size, &arguments.jobs, &arguments.exclude, &arguments.progress,
                &arguments.links, &arguments.one_file_system, &record_reads)) {
            return std::unexpected(fetch());
        }
        const std::string_view dir_path(path_data, static_cast<std::size_t>(path_size));
        tree::AccountOptions options;
        HeldBuffer progress_buffer;
        if (auto taken =
                take_walk_arguments(arguments, walk::LinkRule::All, options, progress_buffer);
            !taken) {
            return std::unexpected(std::move(taken).error());
        }
        options.records_reads = record_reads != 0;

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
            return account_to_tree_walk(tree_state_of_module(module), std::move(*account),
                                        options.records_reads);
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

PyObject* py_plain_path(PyObject*, PyObject* path) {
    return call_wrapper([&]() -> Outcome<PyRef> {
        auto bytes = bytes_argument(path);
        if (!bytes) {
            return std::unexpected(std::move(bytes).error());
        }
        return bytes_of(tree::plain_spelling(*bytes));
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
