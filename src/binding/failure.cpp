#include "binding/failure.h"

#include "binding/conversions.h"
#include "binding/fixed_texts.h"

namespace driftmoor::binding {

FailureValue FailureValue::deferred(PyObject* exception_class, ArgumentProducer produce_argument) {
    return FailureValue(Deferred{exception_class, std::move(produce_argument)});
}

FailureValue FailureValue::with_message(PyObject* exception_class, std::string message) {
    return deferred(exception_class,
                    [message = std::move(message)] { return text_to_str(message); });
}

FailureValue FailureValue::materialised(PyRef instance) {
    return FailureValue(std::move(instance));
}

FailureValue FailureValue::out_of_memory() noexcept {
    return FailureValue(OutOfMemory{});
}

void FailureValue::restore() && {
    if (auto* instance = std::get_if<PyRef>(&form_)) {
        PyErr_SetRaisedException(instance->release());
        return;
    }
    if (std::holds_alternative<OutOfMemory>(form_)) {
        PyErr_NoMemory();
        return;
    }
    auto& deferred = std::get<Deferred>(form_);
    PyRef argument = deferred.produce_argument();
    // The interpreter builds the instance: a str becomes the only argument,
    // a tuple supplies several.
    PyErr_SetObject(deferred.exception_class, argument.get());
}

PyObject* FailureValue::materialise() {
    if (!std::holds_alternative<PyRef>(form_)) {
        std::move(*this).restore();
        form_ = PyRef::steal(PyErr_GetRaisedException());
    }
    return std::get<PyRef>(form_).get();
}

FailureValue fetch() {
    if (PyObject* raised = PyErr_GetRaisedException()) {
        return FailureValue::materialised(PyRef::steal(raised));
    }
    return FailureValue::with_message(PyExc_SystemError, std::string(NO_EXCEPTION_SET));
}

Outcome<PyRef> checked(PyObject* new_reference) {
    if (new_reference == nullptr) {
        return std::unexpected(fetch());
    }
    return PyRef::steal(new_reference);
}

Outcome<void> checked_status(int status) {
    if (status < 0) {
        return std::unexpected(fetch());
    }
    return {};
}

}  // namespace driftmoor::binding
