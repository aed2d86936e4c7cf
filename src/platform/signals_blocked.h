// Keeping signals off the threads that a call starts for its own work.
#pragma once

#include <cstddef>

namespace driftmoor::platform {

// While one lives, the thread that made it has every signal blocked; threads
// it starts meanwhile keep that block for good. So the signals that arrive
// while workers run reach the thread that runs their handlers, and never
// interrupt a worker's wait in the kernel. Nothing on a platform without
// signals.
class SignalsBlocked {
  public:
    SignalsBlocked() noexcept;
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    // The thread's mask from before, as the platform keeps it.
    alignas(8) std::byte saved_[128];
};

}  // namespace driftmoor::platform
