// A check's state between its native form and what the command stores:
// chunks of packed records, each (place of its first record, bytes), and the
// digests read that differ from the manifest's, each (place, 32 bytes).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "binding/failure.h"
#include "binding/py_ref.h"
#include "tree/tree_check.h"
#include "tree/tree_state.h"

namespace driftmoor::binding {

// The state of a manifest of `files` files from its chunks and digests
// (iterables of pairs). ValueError when they do not fit such a manifest.
Outcome<tree::TreeState> state_from_py(PyObject* chunks, PyObject* digests, std::size_t files);

// A list of (place, bytes) pairs.
Outcome<PyRef> chunks_to_py(const std::vector<std::pair<std::size_t, std::string>>& chunks);
// The digests that differ, a list of (place, bytes) in place order.
Outcome<PyRef> other_digests_to_py(const tree::TreeState& state);
// (trusted, read, scrubbed, oldest_read_ns): oldest_read_ns 0 where none was.
PyRef state_counts_to_py(const tree::Findings::StateCounts& counts);

}  // namespace driftmoor::binding
