#include <pthread.h>

#include <algorithm>

#include "platform/thread.h"

namespace driftmoor::platform {

struct Thread::State {
    std::function<void()> body;
    pthread_t thread{};
    bool joinable = false;
};

namespace {

void* run_body(void* state) {
    static_cast<Thread::State*>(state)->body();
    return nullptr;
}

}  // namespace

OsResult<Thread> Thread::start(std::size_t stack_size, std::function<void()> body) {
    auto state = std::make_unique<State>();
    state->body = std::move(body);
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) {
        return std::unexpected(OsError::from_os_code(error));
    }
    // The stack of a thread holds its thread-local storage too; the system's
    // minimum is what a stack must at least be.
    int error = ::pthread_attr_setstacksize(&attributes,
                                            std::max<std::size_t>(stack_size, PTHREAD_STACK_MIN));
    if (error == 0) {
        error = ::pthread_create(&state->thread, &attributes, run_body, state.get());
    }
    ::pthread_attr_destroy(&attributes);
    if (error != 0) {
        return std::unexpected(OsError::from_os_code(error));
    }
    state->joinable = true;
    return Thread(std::move(state));
}

Thread::Thread(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Thread::Thread(Thread&&) noexcept = default;

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        join();
        state_ = std::move(other.state_);
    }
    return *this;
}

Thread::~Thread() {
    join();
}

void Thread::join() noexcept {
    if (state_ && state_->joinable) {
        ::pthread_join(state_->thread, nullptr);
        state_->joinable = false;
    }
}

}  // namespace driftmoor::platform
