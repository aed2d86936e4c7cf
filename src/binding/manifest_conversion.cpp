#include "binding/manifest_conversion.h"

#include <optional>
#include <string_view>

#include "binding/conversions.h"

namespace driftmoor::binding {

Outcome<PyRef> manifest_to_dict(manifest::ManifestTable&& table) {
    manifest::ManifestTable owned = std::move(table);
    PyRef dict = created_or_panic(PyDict_New());
    std::optional<FailureValue> failure;
    owned.drain([&](std::string_view key_text, const digest::FileDigest& digest) {
        const PyRef key = text_to_str(key_text);
        const PyRef value = text_to_str(digest.text());
        if (auto stored = checked_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
            !stored) {
            failure.emplace(std::move(stored).error());
            return false;
        }
        return true;
    });
    if (failure) {
        return std::unexpected(std::move(*failure));
    }
    return dict;
}

}  // namespace driftmoor::binding
