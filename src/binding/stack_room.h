// Room on the native stack, as the interpreter measures it.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/failure.h"
#include "binding/python.h"

namespace driftmoor::binding {

// Runs `work` (which returns an Outcome) only where the interpreter finds room
// on the native stack for another call that may run Python code from inside
// itself, as a signal's handler does; short of it, the result is the
// RecursionError the interpreter raises, as a Python function's call would
// get at that depth. `where` ends that error's message (" in calculate_hash").
template <class Work>
auto with_stack_room(const char* where, Work&& work) -> std::invoke_result_t<Work> {
    if (Py_EnterRecursiveCall(where) != 0) {
        return std::unexpected(fetch());
    }
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return std::forward<Work>(work)();
}

}  // namespace driftmoor::binding
