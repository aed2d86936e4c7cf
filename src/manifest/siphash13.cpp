#include "manifest/siphash13.h"

#include <bit>

namespace driftmoor::manifest {
namespace {

struct State {
    std::uint64_t& v0;
    std::uint64_t& v1;
    std::uint64_t& v2;
    std::uint64_t& v3;
};

inline void sip_round(State s) noexcept {
    s.v0 += s.v1;
    s.v1 = std::rotl(s.v1, 13);
    s.v1 ^= s.v0;
    s.v0 = std::rotl(s.v0, 32);
    s.v2 += s.v3;
    s.v3 = std::rotl(s.v3, 16);
    s.v3 ^= s.v2;
    s.v0 += s.v3;
    s.v3 = std::rotl(s.v3, 21);
    s.v3 ^= s.v0;
    s.v2 += s.v1;
    s.v1 = std::rotl(s.v1, 17);
    s.v1 ^= s.v2;
    s.v2 = std::rotl(s.v2, 32);
}

}  // namespace

SipHash13::SipHash13(SipKey key) noexcept
    : v0_(key.k0 ^ 0x736f6d6570736575u),
      v1_(key.k1 ^ 0x646f72616e646f6du),
      v2_(key.k0 ^ 0x6c7967656e657261u),
      v3_(key.k1 ^ 0x7465646279746573u) {}

void SipHash13::absorb(std::uint64_t word) noexcept {
    v3_ ^= word;
    sip_round({v0_, v1_, v2_, v3_});
    v0_ ^= word;
}

void SipHash13::update(std::span<const std::uint8_t> bytes) noexcept {
    total_length_ += bytes.size();
    // Whole words straight from the input while nothing is pending.
    while (tail_length_ == 0 && bytes.size() >= 8) {
        std::uint64_t word = 0;
        for (std::size_t index = 0; index < 8; ++index) {
            word |= std::uint64_t{bytes[index]} << (8 * index);
        }
        absorb(word);
        bytes = bytes.subspan(8);
    }
    for (const std::uint8_t byte : bytes) {
        tail_ |= std::uint64_t{byte} << (8 * tail_length_);
        if (++tail_length_ == 8) {
            absorb(tail_);
            tail_ = 0;
            tail_length_ = 0;
        }
    }
}

std::uint64_t SipHash13::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = tail_ | (total_length_ << 56);
    v3 ^= last;
    sip_round({v0, v1, v2, v3});
    v0 ^= last;
    v2 ^= 0xff;
    for (int round = 0; round < 3; ++round) {
        sip_round({v0, v1, v2, v3});
    }
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace driftmoor::manifest
