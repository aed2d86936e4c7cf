#include "binding/signal_check.h"

#include <atomic>
#include <memory>

#include "binding/os_error_conversion.h"

namespace driftmoor::binding {
namespace {

// How long detached work may go without looking for signals. Short enough
// that Ctrl-C feels immediate; long enough that re-attaching, which may wait
// up to the interpreter's switch interval for a busy thread, costs nothing
// measurable.
constexpr std::uint32_t SIGNAL_CHECK_INTERVAL_MILLISECONDS = 20;

// The identity of the thread that Python calls its main one, which is the
// one its signal handlers run on; 0 until the module has found it. Found
// once: after a fork from another thread the child's main thread differs,
// and calls there are simply not stopped by signals.
std::atomic<unsigned long> main_thread_ident = 0;

bool runs_signal_handlers() {
    const unsigned long main = main_thread_ident.load(std::memory_order_relaxed);
    return main != 0 && PyThread_get_thread_ident() == main &&
           PyInterpreterState_Get() == PyInterpreterState_Main();
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

// The exception just raised (by a handler, or for want of stack) travels
// down and back up the work as its error, and is raised as it is once the
// call is attached again.
platform::OsError raised_exception_as_error() {
    return platform::OsError::custom(platform::ErrorKind::OperationInterrupted,
                                     std::make_unique<PythonExceptionError>(fetch()));
}

std::optional<platform::OsError> run_signal_handlers(void*) {
    const Attached attached;
    // A handler may call into the module again, and that call may run the
    // next handler from its own work, nesting for as long as signals come:
    // each level is held to the interpreter's limits like any Python call,
    // and ends in RecursionError rather than past the end of the stack.
    if (Py_EnterRecursiveCall(" while running a signal handler") != 0) {
        return raised_exception_as_error();
    }
    const int status = PyErr_CheckSignals();
    Py_LeaveRecursiveCall();
    if (status == 0) {
        return std::nullopt;
    }
    return raised_exception_as_error();
}

}  // namespace

Outcome<void> find_main_thread() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return {};
    }
    auto threading = checked(PyImport_ImportModule("threading"));
    if (!threading) {
        return std::unexpected(std::move(threading).error());
    }
    auto main = checked(PyObject_CallMethod(threading->get(), "main_thread", nullptr));
    if (!main) {
        return std::unexpected(std::move(main).error());
    }
    auto ident = checked(PyObject_GetAttrString(main->get(), "ident"));
    if (!ident) {
        return std::unexpected(std::move(ident).error());
    }
    const unsigned long value = PyLong_AsUnsignedLong(ident->get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        return std::unexpected(fetch());
    }
    main_thread_ident.store(value, std::memory_order_relaxed);
    return {};
}

platform::Cancellation signal_cancellation() {
    if (!runs_signal_handlers()) {
        return platform::Cancellation();
    }
    return platform::Cancellation(run_signal_handlers, nullptr, SIGNAL_CHECK_INTERVAL_MILLISECONDS);
}

}  // namespace driftmoor::binding
