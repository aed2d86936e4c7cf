// The shape of every C entry whose arguments are all text: bind the call, take
// the text of each argument, then run the work, all inside the call wrapper.
#pragma once

#include <source_location>

#include "binding/arguments.h"
#include "binding/call_wrapper.h"

namespace driftmoor::binding {

// `work` takes the argument texts (std::array<std::string_view, N>) and
// returns Outcome<PyRef>; it runs only when every argument bound and converted.
template <std::size_t N, class Work>
PyObject* call_with_texts(const FunctionDescription<N>& function, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, Work&& work,
                          std::source_location where = std::source_location::current()) noexcept {
    return call_wrapper(
        [&]() -> Outcome<PyRef> {
            auto texts = bind_texts(function, args, nargs, kwnames);
            if (!texts) {
                return std::unexpected(std::move(texts).error());
            }
            return work(*texts);
        },
        where);
}

}  // namespace driftmoor::binding
