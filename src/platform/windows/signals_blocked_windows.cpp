// Windows delivers no signals to threads: Ctrl-C runs a handler on a thread
// of its own, so there is nothing to keep off the workers.
#include "platform/signals_blocked.h"

namespace driftmoor::platform {

SignalsBlocked::SignalsBlocked() noexcept : saved_{} {}

SignalsBlocked::~SignalsBlocked() = default;

}  // namespace driftmoor::platform
