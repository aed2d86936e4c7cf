#include "binding/manifest_lines.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "tree/path_escape.h"
#include "tree/path_order.h"

namespace driftmoor::binding {
namespace {

// Large enough that a writer's calls cost nothing next to the bytes; small
// enough that a short write is continued and a failure is seen early.
constexpr std::size_t CHUNK_SIZE = std::size_t{64} << 10;

}  // namespace

void append_manifest_line(std::string& out, std::string_view path, std::string_view digest,
                          LineStyle style) {
    const bool escaped = tree::needs_escape(path);
    if (escaped) {
        out += '\\';
    }
    if (style == LineStyle::Bsd) {
        out += "SHA256 (";
    } else {
        out.append(digest).append("  ");
    }
    if (escaped) {
        tree::append_escaped(out, path);
    } else {
        out.append(path);
    }
    if (style == LineStyle::Bsd) {
        out.append(") = ").append(digest);
    }
    out += '\n';
}

Outcome<PyRef> manifest_lines(PyObject* files, LineStyle style) {
    if (!PyDict_Check(files)) {
        return std::unexpected(type_mismatch(files, "dict"));
    }
    // Without an interpreter lock, another thread may change the dict while
    // this reads it, and drop the last reference to a key whose bytes a view
    // below still points at. So its items are taken under the dict's own
    // critical section, each with a reference of ours: what is sorted and
    // formatted afterwards are bytes and str objects, which never change,
    // kept alive here whatever becomes of the dict.
    std::vector<std::pair<PyRef, PyRef>> items;
    Py_BEGIN_CRITICAL_SECTION(files);
    items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(files)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(files, &position, &key, &value)) {
        items.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    }
    Py_END_CRITICAL_SECTION();

    std::vector<tree::PathEntry> lines;
    lines.reserve(items.size());
    for (const auto& [path, digest_object] : items) {
        if (!PyBytes_Check(path.get())) {
            return std::unexpected(type_mismatch(path.get(), "bytes"));
        }
        auto digest = extract_text(digest_object.get());
        if (!digest) {
            return std::unexpected(std::move(digest).error());
        }
        lines.emplace_back(std::string_view(PyBytes_AS_STRING(path.get()),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(path.get()))),
                           *digest);
    }
    // Paths are unique, so the path alone orders the lines.
    tree::sort_by_path(lines);

    PyRef chunks = created_or_panic(PyList_New(0));
    std::string chunk;
    chunk.reserve(CHUNK_SIZE);
    const auto flush = [&]() -> Outcome<void> {
        const PyRef bytes = created_or_panic(
            PyBytes_FromStringAndSize(chunk.data(), static_cast<Py_ssize_t>(chunk.size())));
        chunk.clear();
        return checked_status(PyList_Append(chunks.get(), bytes.get()));
    };
    for (const auto& [path, digest] : lines) {
        append_manifest_line(chunk, path, digest, style);
        if (chunk.size() >= CHUNK_SIZE) {
            if (auto flushed = flush(); !flushed) {
                return std::unexpected(std::move(flushed).error());
            }
        }
    }
    if (!chunk.empty()) {
        if (auto flushed = flush(); !flushed) {
            return std::unexpected(std::move(flushed).error());
        }
    }
    return chunks;
}

}  // namespace driftmoor::binding
