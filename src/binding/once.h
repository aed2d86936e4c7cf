// Process-wide Python objects created once, on first use.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/python.h"

namespace driftmoor::binding {

// Holds one object for the rest of the process (it is never released).
//
// A thread that has to wait for the creation waits detached from the
// interpreter: the creating thread may need the interpreter (or the GIL) to
// finish, and a waiter that stayed attached could block it forever. The
// creating thread re-attaches before it touches any Python object.
class OnceObject {
  public:
    constexpr OnceObject() noexcept = default;
    OnceObject(const OnceObject&) = delete;
    OnceObject& operator=(const OnceObject&) = delete;

    // The object, created by `create` (a new reference, never null; a failure
    // there is an internal failure, which leaves the object uncreated) if no
    // thread has created it yet. Borrowed. Call with the thread attached.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* existing = object_.load(std::memory_order_acquire)) {
            return existing;
        }
        lock_detached();
        std::lock_guard guard(mutex_, std::adopt_lock);
        if (PyObject* existing = object_.load(std::memory_order_relaxed)) {
            return existing;
        }
        PyObject* created = create();
        object_.store(created, std::memory_order_release);
        return created;
    }

  private:
    void lock_detached() {
        PyThreadState* attached = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(attached);
    }

    std::atomic<PyObject*> object_ = nullptr;  // owned; null until created
    std::mutex mutex_;                         // held while creating
};

}  // namespace driftmoor::binding
