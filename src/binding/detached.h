// Running work that needs no Python object with the thread detached from the
// interpreter.
#pragma once

#include <utility>

#include "binding/python.h"

namespace driftmoor::binding {

// Runs `work` detached and re-attaches before returning, on every path, an
// internal failure thrown by the work included.
//
// File work blocks in the kernel for as long as the kernel decides: a pipe or
// FIFO waits for its writer. If that writer is another thread of this
// process, it needs the interpreter to write, so reading while attached would
// wait forever. Detached, other threads also run while a large file is read.
// `work` must not touch any Python object; borrowed argument texts stay valid
// because the caller's references keep their str objects alive.
template <class Work>
auto run_detached(Work&& work) -> decltype(std::forward<Work>(work)()) {
    struct Reattach {
        PyThreadState* state;
        ~Reattach() { PyEval_RestoreThread(state); }
    } reattach{PyEval_SaveThread()};
    return std::forward<Work>(work)();
}

}  // namespace driftmoor::binding
