#include "binding/signal_check.h"

#include <memory>

#include "binding/conversions.h"
#include "binding/once.h"
#include "binding/os_error_conversion.h"

namespace driftmoor::binding {
namespace {

// How long detached work may go without looking for signals. Short enough
// that Ctrl-C feels immediate; long enough that re-attaching, which may wait
// up to the interpreter's switch interval for a busy thread, costs nothing
// measurable.
constexpr std::uint32_t SIGNAL_CHECK_INTERVAL_MILLISECONDS = 20;

OnceObject main_thread_ident;

// The identity of the thread that Python calls its main one, which is the
// one its signal handlers run on. Taken once: after a fork from another
// thread the child's main thread differs, and calls there are simply not
// stopped by signals.
unsigned long main_thread() {
    PyObject* ident = main_thread_ident.get([] {
        PyRef threading = created_or_panic(PyImport_ImportModule("threading"));
        PyRef main = created_or_panic(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        return created_or_panic(PyObject_GetAttrString(main.get(), "ident")).release();
    });
    return PyLong_AsUnsignedLong(ident);
}

bool runs_signal_handlers() {
    return PyInterpreterState_Get() == PyInterpreterState_Main() &&
           PyThread_get_thread_ident() == main_thread();
}

// Attached for as long as it lives, from a detached thread that has a thread
// state of its own.
class Attached {
  public:
    Attached() noexcept : state_(PyGILState_Ensure()) {}
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    ~Attached() { PyGILState_Release(state_); }

  private:
    PyGILState_STATE state_;
};

std::optional<platform::OsError> run_signal_handlers(void*) {
    const Attached attached;
    if (PyErr_CheckSignals() == 0) {
        return std::nullopt;
    }
    // The handler's exception travels down and back up the work as its
    // error, and is raised as it is once the call is attached again.
    return platform::OsError::custom(platform::ErrorKind::OperationInterrupted,
                                     std::make_unique<PythonExceptionError>(fetch()));
}

}  // namespace

Cancellation signal_cancellation() {
    if (!runs_signal_handlers()) {
        return Cancellation();
    }
    return Cancellation(run_signal_handlers, nullptr, SIGNAL_CHECK_INTERVAL_MILLISECONDS);
}

}  // namespace driftmoor::binding
