// SipHash-1-3: a keyed hash that an outsider who does not know the key cannot
// steer into collisions, fed in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace driftmoor::manifest {

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// One message's hash, fed in any number of pieces; the result depends only on
// the concatenated bytes. One compression round per word, three to finish.
class SipHash13 {
  public:
    explicit SipHash13(SipKey key) noexcept;
    void update(std::span<const std::uint8_t> bytes) noexcept;
    std::uint64_t finish() const noexcept;

  private:
    void absorb(std::uint64_t word) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;          // bytes not yet absorbed, little-endian
    std::size_t tail_length_ = 0;     // how many: 0..7
    std::uint64_t total_length_ = 0;  // only its low byte enters the hash
};

}  // namespace driftmoor::manifest
