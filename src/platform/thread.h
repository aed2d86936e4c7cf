// A thread started with a stack of the size the work asks for, rather than
// the system's default for every thread (8 MiB of address space on Linux,
// which dozens of workers could not get under an address-space limit).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/os_error.h"

namespace driftmoor::platform {

class Thread {
  public:
    // Starts `body` on a new thread with at least `stack_size` bytes of
    // stack; the system's error if no thread could be started.
    static OsResult<Thread> start(std::size_t stack_size, std::function<void()> body);

    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Waits for the thread to end.
    ~Thread();

    // Waits for the thread to end; nothing once it has been waited for.
    void join() noexcept;

    // What the platform keeps of a thread; each implementation defines it.
    struct State;

  private:
    explicit Thread(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace driftmoor::platform
