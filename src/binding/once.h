// Process-wide Python objects created once, on first use.
#pragma once

#include <atomic>

#include "binding/python.h"

namespace driftmoor::binding {

// Holds one object for the rest of the process (it is never released).
//
// A thread that has to wait for the creation waits detached from the
// interpreter: the creating thread may need the interpreter (or the GIL) to
// finish, and a waiter that stayed attached could block it forever. The
// interpreter's own one-byte mutex does exactly that while it waits, and,
// unlike std::mutex on every C++ runtime, it is constant-initialised, so
// the guard is ready before any constructor of this module has run.
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
        PyMutex_Lock(&mutex_);
        // Unlocked on every path, an internal failure thrown by `create`
        // included.
        struct Unlock {
            PyMutex* mutex;
            ~Unlock() { PyMutex_Unlock(mutex); }
        } unlock{&mutex_};
        if (PyObject* existing = object_.load(std::memory_order_relaxed)) {
            return existing;
        }
        PyObject* created = create();
        object_.store(created, std::memory_order_release);
        return created;
    }

  private:
    std::atomic<PyObject*> object_ = nullptr;  // owned; null until created
    PyMutex mutex_{};                          // held while creating
};

}  // namespace driftmoor::binding
