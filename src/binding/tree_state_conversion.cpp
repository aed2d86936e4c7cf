#include "binding/tree_state_conversion.h"

#include <algorithm>
#include <cstring>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/walk_options.h"

namespace driftmoor::binding {
namespace {

PyRef bytes_of(std::string_view bytes) {
    return created_or_panic(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

FailureValue does_not_fit() {
    return value_error("the state does not fit this manifest");
}

// Each (place, bytes) pair of an iterable, handed to `take(place, bytes)`,
// which says whether it fits.
template <class Take>
Outcome<void> each_pair(PyObject* iterable, Take&& take) {
    auto iterator = checked(PyObject_GetIter(iterable));
    if (!iterator) {
        return std::unexpected(std::move(iterator).error());
    }
    for (;;) {
        const PyRef item = PyRef::steal(PyIter_Next(iterator->get()));
        if (!item) {
            if (PyErr_Occurred() != nullptr) {
                return std::unexpected(fetch());
            }
            return {};
        }
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2 ||
            !PyBytes_Check(PyTuple_GET_ITEM(item.get(), 1))) {
            return std::unexpected(type_mismatch(item.get(), "tuple of (int, bytes)"));
        }
        const Py_ssize_t place = PyLong_AsSsize_t(PyTuple_GET_ITEM(item.get(), 0));
        if (place < 0) {
            PyErr_Clear();
            return std::unexpected(does_not_fit());
        }
        PyObject* data = PyTuple_GET_ITEM(item.get(), 1);
        if (!take(static_cast<std::size_t>(place),
                  std::string_view(PyBytes_AS_STRING(data),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(data))))) {
            return std::unexpected(does_not_fit());
        }
    }
}

}  // namespace

Outcome<tree::TreeState> state_from_py(PyObject* chunks, PyObject* digests, std::size_t files) {
    tree::TreeState state(files);
    if (auto unpacked = each_pair(chunks,
                                  [&](std::size_t first, std::string_view bytes) {
                                      return first % tree::TreeState::CHUNK_RECORDS == 0 &&
                                             state.unpack(first, bytes);
                                  });
        !unpacked) {
        return std::unexpected(std::move(unpacked).error());
    }
    if (auto taken = each_pair(digests,
                               [&](std::size_t place, std::string_view bytes) {
                                   digest::Sha256Digest digest;
                                   if (place >= files || bytes.size() != digest.size() ||
                                       !state.record(place).digest_differs) {
                                       return false;
                                   }
                                   std::memcpy(digest.data(), bytes.data(), digest.size());
                                   state.set_other_digest(place, digest);
                                   return true;
                               });
        !taken) {
        return std::unexpected(std::move(taken).error());
    }
    return state;
}

Outcome<PyRef> chunks_to_py(const std::vector<std::pair<std::size_t, std::string>>& chunks) {
    PyRef list = created_or_panic(PyList_New(0));
    for (const auto& [first, bytes] : chunks) {
        const PyRef place = created_or_panic(PyLong_FromSize_t(first));
        const PyRef pair = created_or_panic(PyTuple_Pack(2, place.get(), bytes_of(bytes).get()));
        if (auto appended = checked_status(PyList_Append(list.get(), pair.get())); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }
    return list;
}

Outcome<PyRef> other_digests_to_py(const tree::TreeState& state) {
    std::vector<std::pair<std::size_t, const digest::Sha256Digest*>> digests;
    for (const auto& [place, digest] : state.other_digests()) {
        digests.emplace_back(place, &digest);
    }
    std::ranges::sort(digests);
    PyRef list = created_or_panic(PyList_New(0));
    for (const auto& [place, digest] : digests) {
        const PyRef number = created_or_panic(PyLong_FromSize_t(place));
        const PyRef bytes = bytes_of(
            std::string_view(reinterpret_cast<const char*>(digest->data()), digest->size()));
        const PyRef pair = created_or_panic(PyTuple_Pack(2, number.get(), bytes.get()));
        if (auto appended = checked_status(PyList_Append(list.get(), pair.get())); !appended) {
            return std::unexpected(std::move(appended).error());
        }
    }
    return list;
}

PyRef state_counts_to_py(const tree::Findings::StateCounts& counts) {
    const PyRef trusted = created_or_panic(PyLong_FromUnsignedLongLong(counts.trusted));
    const PyRef read = created_or_panic(PyLong_FromUnsignedLongLong(counts.read));
    const PyRef scrubbed = created_or_panic(PyLong_FromUnsignedLongLong(counts.scrubbed));
    const PyRef oldest = created_or_panic(PyLong_FromLongLong(counts.oldest_read_ns));
    return created_or_panic(
        PyTuple_Pack(4, trusted.get(), read.get(), scrubbed.get(), oldest.get()));
}

}  // namespace driftmoor::binding
