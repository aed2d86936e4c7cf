#include <pthread.h>
#include <signal.h>

#include <cstring>

#include "platform/signals_blocked.h"

namespace driftmoor::platform {

static_assert(sizeof(sigset_t) <= 128 && alignof(sigset_t) <= 8);

SignalsBlocked::SignalsBlocked() noexcept {
    sigset_t all;
    ::sigfillset(&all);
    sigset_t before;
    // Cannot fail with a valid set and how.
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    std::memcpy(saved_, &before, sizeof before);
}

SignalsBlocked::~SignalsBlocked() {
    sigset_t before;
    std::memcpy(&before, saved_, sizeof before);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace driftmoor::platform
