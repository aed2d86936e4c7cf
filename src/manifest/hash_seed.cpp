#include "manifest/hash_seed.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/random.h"

namespace driftmoor::manifest {
namespace {

struct ThreadSeed {
    SipKey next;
    bool initialised = false;
};

// Per thread, so tables need no lock and threads share no state.
thread_local ThreadSeed thread_seed;

std::uint64_t little_endian_word(const std::byte* bytes) noexcept {
    std::uint64_t word = 0;
    for (int index = 0; index < 8; ++index) {
        word |= std::uint64_t(std::to_integer<std::uint8_t>(bytes[index])) << (8 * index);
    }
    return word;
}

}  // namespace

platform::OsResult<SipKey> next_table_key() {
    ThreadSeed& seed = thread_seed;
    if (!seed.initialised) {
        std::array<std::byte, 16> drawn;
        if (auto filled = platform::fill_random(drawn); !filled) {
            return std::unexpected(std::move(filled).error());
        }
        seed.next = {little_endian_word(drawn.data()), little_endian_word(drawn.data() + 8)};
        seed.initialised = true;
    }
    const SipKey key = seed.next;
    ++seed.next.k0;  // unsigned: wraps modulo 2^64
    return key;
}

}  // namespace driftmoor::manifest
