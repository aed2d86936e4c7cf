// The arguments that every walk of driftmoor_tree takes alike (jobs, the
// file to pass over, the progress counts, the links rule, one file system),
// into the options of the walk.
#pragma once

#include <string>

#include "binding/failure.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {

// A writable buffer held for the length of a call.
class HeldBuffer {
  public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    Outcome<void> hold(PyObject* object);
    void* data() const noexcept { return view_.buf; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// The most threads one walk starts: far more than any machine has cores,
// and few enough that their stacks always fit.
inline constexpr Py_ssize_t MOST_JOBS = 1024;

struct WalkArguments {
    Py_ssize_t jobs = 1;
    PyObject* exclude = nullptr;   // (st_dev, st_ino), or None
    PyObject* progress = nullptr;  // a writable buffer of one or two counts, or None
    PyObject* links = nullptr;     // a LinkRule, or None for the default
    int one_file_system = 0;
};

// Fills `options` from the arguments; the progress buffer is held in
// `progress_buffer` for as long as the walk may write to it.
Outcome<void> take_walk_arguments(const WalkArguments& arguments, walk::LinkRule default_links,
                                  tree::AccountOptions& options, HeldBuffer& progress_buffer);

FailureValue value_error(std::string message);

}  // namespace driftmoor::binding
