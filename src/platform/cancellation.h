// Stopping long work early. A walk of a large tree or the read of an endless
// file asks between steps whether its caller wants it stopped; the caller
// hands in how to find out, so the work itself knows nothing of who asks.
// Built from the platform's clock and its error, so every layer above may
// take one.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/clock.h"
#include "platform/os_error.h"

namespace driftmoor::platform {

class Cancellation {
  public:
    // Answers, from any step of the work, with the error the work is to end
    // with, or with nothing to go on. May be slow: it is asked rarely.
    using Probe = std::optional<OsError> (*)(void* context);

    // Never stops the work.
    Cancellation() noexcept = default;
    // Asks `probe` at most once every `interval_milliseconds`, the first time
    // no sooner than that after construction. `context` is the probe's; it
    // must outlive this object.
    Cancellation(Probe probe, void* context, std::uint32_t interval_milliseconds) noexcept
        : probe_(probe),
          context_(context),
          interval_(interval_milliseconds),
          next_(coarse_milliseconds() + interval_milliseconds) {}

    // Between steps: nothing, or the error to end the work with. Costs a read
    // of a coarse clock until the probe is due.
    OsResult<void> check() {
        if (probe_ == nullptr) {
            return {};
        }
        const std::uint64_t now = coarse_milliseconds();
        if (now < next_) {
            return {};
        }
        next_ = now + interval_;
        if (auto stop = probe_(context_)) {
            return std::unexpected(std::move(*stop));
        }
        return {};
    }

  private:
    Probe probe_ = nullptr;
    void* context_ = nullptr;  // borrowed, the probe's
    std::uint64_t interval_ = 0;
    std::uint64_t next_ = 0;  // when the probe is next due
};

}  // namespace driftmoor::platform
