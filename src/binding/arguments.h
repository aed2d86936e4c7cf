// Binding a fast call's arguments to a function's parameters, and taking the
// UTF-8 text of each.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/failure.h"

namespace driftmoor::binding {

// A function as the binder sees it. Every parameter may be passed by position
// or by keyword, and every one is required.
template <std::size_t N>
struct FunctionDescription {
    std::string_view name;                       // used in messages
    std::array<std::string_view, N> parameters;  // in order
};

// Fills slots (one per parameter, all null on entry) with borrowed references
// to the arguments, or fails with the TypeError a Python function would give.
Outcome<void> bind(std::string_view function_name, std::span<const std::string_view> parameters,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots);

// A borrowed view of a str's UTF-8 form, valid while the object lives. Only
// str (or a subclass) is accepted; nothing is converted.
Outcome<std::string_view> extract_text(PyObject* object);

// The TypeError for an object of the wrong type, naming the type wanted.
FailureValue type_mismatch(PyObject* object, std::string_view expected_type);

// Adds the note "while processing '<parameter>'" to the failure's exception
// and gives the failure back. If the note cannot be added, the failure is
// given back without it.
FailureValue note_argument(std::string_view parameter, FailureValue failure);

// Binds a call and extracts the text of every argument, in parameter order,
// noting the parameter of the first conversion that fails.
template <std::size_t N>
Outcome<std::array<std::string_view, N>> bind_texts(const FunctionDescription<N>& function,
                                                    PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    if (auto bound = binding::bind(function.name, function.parameters, args, nargs, kwnames, slots);
        !bound) {
        return std::unexpected(std::move(bound).error());
    }
    std::array<std::string_view, N> texts;
    for (std::size_t i = 0; i < N; ++i) {
        auto text = extract_text(slots[i]);
        if (!text) {
            return std::unexpected(note_argument(function.parameters[i], std::move(text).error()));
        }
        texts[i] = *text;
    }
    return texts;
}

}  // namespace driftmoor::binding
