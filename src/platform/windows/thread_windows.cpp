#include <windows.h>

#include "platform/thread.h"

namespace driftmoor::platform {

struct Thread::State {
    std::function<void()> body;
    HANDLE thread = nullptr;  // owned; null once waited for
};

namespace {

DWORD WINAPI run_body(void* state) {
    static_cast<Thread::State*>(state)->body();
    return 0;
}

}  // namespace

OsResult<Thread> Thread::start(std::size_t stack_size, std::function<void()> body) {
    auto state = std::make_unique<State>();
    state->body = std::move(body);
    // Only reserved: the pages are committed as the stack grows.
    state->thread = ::CreateThread(nullptr, stack_size, run_body, state.get(),
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (state->thread == nullptr) {
        return std::unexpected(OsError::from_os_code(static_cast<int>(::GetLastError())));
    }
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
    if (state_ && state_->thread != nullptr) {
        ::WaitForSingleObject(state_->thread, INFINITE);
        ::CloseHandle(state_->thread);
        state_->thread = nullptr;
    }
}

}  // namespace driftmoor::platform
