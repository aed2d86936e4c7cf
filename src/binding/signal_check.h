// Stopping a detached call when a signal arrives. Python runs its signal
// handlers only on the main thread of the main interpreter, and only while
// that thread is attached; a call that runs detached for minutes would
// otherwise leave Ctrl-C waiting until it ends.
#pragma once

#include "binding/failure.h"
#include "platform/cancellation.h"

namespace driftmoor::binding {

// Finds the thread that runs signal handlers; part of the module's exec
// step, so that no call has to import anything to know it.
Outcome<void> find_main_thread();

// The cancellation for work about to run detached on the calling thread
// (called attached). On the thread that runs signal handlers, the work
// re-attaches every few milliseconds to run them; if one raises (SIGINT's
// raises KeyboardInterrupt), the work ends with that exception. On any
// other thread the work is never stopped, and never waits for the GIL.
platform::Cancellation signal_cancellation();

}  // namespace driftmoor::binding
