#include "binding/entries.h"

#include "binding/conversions.h"
#include "binding/detached.h"
#include "binding/os_error_conversion.h"
#include "binding/text_call.h"
#include "digest/constant_time_equal.h"
#include "digest/file_digest.h"

namespace driftmoor::binding {
namespace {

constexpr FunctionDescription<1> CALCULATE_HASH{"calculate_hash", {"path"}};
constexpr FunctionDescription<2> COMPARE_HASHES{"compare_hashes", {"hash_a", "hash_b"}};
constexpr FunctionDescription<1> CALCULATE_DIRECTORY_MANIFEST{"calculate_directory_manifest",
                                                              {"dir_path"}};

// The directory walk is not built yet; its entry already binds and converts
// its argument exactly as it will.
FailureValue not_built_yet(std::string_view function_name) {
    return FailureValue::with_message(PyExc_NotImplementedError,
                                      std::string(function_name) + "() is not available yet");
}

}  // namespace

PyObject* calculate_hash_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return call_with_texts(
        CALCULATE_HASH, args, nargs, kwnames, [](const auto& texts) -> Outcome<PyRef> {
            const auto& [path] = texts;
            auto digest = run_detached([&] { return digest::calculate_file_hash(path); });
            if (!digest) {
                return std::unexpected(error_to_exception(std::move(digest).error()));
            }
            return text_to_str(digest->text());
        });
}

PyObject* compare_hashes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return call_with_texts(COMPARE_HASHES, args, nargs, kwnames,
                           [](const auto& texts) -> Outcome<PyRef> {
                               const auto& [hash_a, hash_b] = texts;
                               return bool_to_py(digest::constant_time_equal(hash_a, hash_b));
                           });
}

PyObject* calculate_directory_manifest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return call_with_texts(
        CALCULATE_DIRECTORY_MANIFEST, args, nargs, kwnames, [](const auto&) -> Outcome<PyRef> {
            return std::unexpected(not_built_yet(CALCULATE_DIRECTORY_MANIFEST.name));
        });
}

}  // namespace driftmoor::binding
