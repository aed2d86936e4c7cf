#include "binding/call_wrapper.h"

namespace driftmoor::binding {
namespace {

// Raises the failure that ended a body; true when there was one.
template <class T>
bool raise_failure(BodyEnd<T>& end) {
    if (end.internal_failure) {
        from_internal_failure(std::move(*end.internal_failure)).restore();
        return true;
    }
    if (!*end.outcome) {
        std::move(*end.outcome).error().restore();
        return true;
    }
    return false;
}

}  // namespace

PyObject* finish_call(BodyEnd<PyRef>&& end, std::source_location where) noexcept {
    try {
        if (raise_failure(end)) {
            return nullptr;
        }
        return (*end.outcome)->release();
    } catch (...) {
        abort_at_trap(where);
    }
}

int finish_exec(BodyEnd<void>&& end, std::source_location where) noexcept {
    try {
        return raise_failure(end) ? -1 : 0;
    } catch (...) {
        abort_at_trap(where);
    }
}

}  // namespace driftmoor::binding
