#include "binding/panic.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "binding/conversions.h"
#include "binding/fixed_texts.h"
#include "binding/once.h"

namespace driftmoor::binding {
namespace {

OnceObject panic_exception;

}  // namespace

InternalFailure internal_failure_from_current_exception(std::source_location where) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        report_panic(error.what(), where);
        try {
            return InternalFailure(std::string(error.what()));
        } catch (...) {
            return InternalFailure(std::nullopt);
        }
    } catch (...) {
        report_panic("(no message)", where);
        return InternalFailure(std::nullopt);
    }
}

void abort_at_trap(std::source_location where) noexcept {
    report_panic(TRAP_MESSAGE, where);
    std::abort();
}

PyObject* panic_exception_class() {
    return panic_exception.get([] {
        PyObject* created = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                PyErr_WriteUnraisable(nullptr);
            }
            panic(EXCEPTION_CLASS_NOT_CREATED);
        }
        return created;
    });
}

FailureValue from_internal_failure(InternalFailure failure) {
    std::string message = failure.message() ? *failure.message() : std::string(PANIC_WITHOUT_TEXT);
    return FailureValue::deferred(panic_exception_class(), [message = std::move(message)] {
        PyRef arguments = created_or_panic(PyTuple_New(1));
        PyTuple_SET_ITEM(arguments.get(), 0, text_to_str(message).release());
        return arguments;
    });
}

}  // namespace driftmoor::binding
