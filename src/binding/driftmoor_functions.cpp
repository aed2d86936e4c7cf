#include "binding/driftmoor_functions.h"

#include "binding/conversions.h"
#include "binding/detached.h"
#include "binding/fixed_texts.h"
#include "binding/manifest_conversion.h"
#include "binding/os_error_conversion.h"
#include "binding/signal_check.h"
#include "binding/stack_room.h"
#include "binding/text_call.h"
#include "digest/constant_time_equal.h"
#include "digest/file_digest.h"
#include "manifest/directory_manifest.h"

namespace driftmoor::binding {
namespace {

constexpr FunctionDescription<1> CALCULATE_HASH{"calculate_hash", {"path"}};
constexpr FunctionDescription<2> COMPARE_HASHES{"compare_hashes", {"hash_a", "hash_b"}};
constexpr FunctionDescription<1> CALCULATE_DIRECTORY_MANIFEST{"calculate_directory_manifest",
                                                              {"dir_path"}};

FailureValue manifest_failure_to_exception(manifest::ManifestFailure failure) {
    if (auto* error = std::get_if<platform::OsError>(&failure)) {
        return error_to_exception(std::move(*error));
    }
    return FailureValue::with_message(PyExc_FileNotFoundError,
                                      std::string(DIRECTORY_MISSING_MESSAGE));
}

}  // namespace

PyObject* py_calculate_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_texts(
        CALCULATE_HASH, args, nargs, kwnames, [](const auto& texts) -> Outcome<PyRef> {
            const auto& [path] = texts;
            return with_stack_room(" in calculate_hash", [&]() -> Outcome<PyRef> {
                platform::Cancellation cancellation = signal_cancellation();
                auto digest =
                    run_detached([&] { return digest::calculate_file_hash(path, cancellation); });
                if (!digest) {
                    return std::unexpected(error_to_exception(std::move(digest).error()));
                }
                return text_to_str(digest->text());
            });
        });
}

PyObject* py_compare_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_texts(COMPARE_HASHES, args, nargs, kwnames,
                           [](const auto& texts) -> Outcome<PyRef> {
                               const auto& [hash_a, hash_b] = texts;
                               return bool_to_py(digest::constant_time_equal(hash_a, hash_b));
                           });
}

PyObject* py_calculate_directory_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return call_with_texts(
        CALCULATE_DIRECTORY_MANIFEST, args, nargs, kwnames,
        [](const auto& texts) -> Outcome<PyRef> {
            const auto& [dir_path] = texts;
            return with_stack_room(" in calculate_directory_manifest", [&]() -> Outcome<PyRef> {
                // Detached for the whole walk, which touches no Python object:
                // other threads run meanwhile, and a file whose reads depend
                // on one of them cannot stall the process.
                platform::Cancellation cancellation = signal_cancellation();
                auto table = run_detached(
                    [&] { return manifest::calculate_manifest(dir_path, cancellation); });
                if (!table) {
                    return std::unexpected(manifest_failure_to_exception(std::move(table).error()));
                }
                return manifest_to_dict(std::move(*table));
            });
        });
}

}  // namespace driftmoor::binding
