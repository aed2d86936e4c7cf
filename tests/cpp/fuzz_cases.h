// How many random cases a fuzzed test runs, and from which seed: a bounded
// number in the suite, more on demand through DRIFTMOOR_FUZZ_CASES, and
// another sequence through DRIFTMOOR_FUZZ_SEED.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace driftmoor::fuzzing {

inline std::uint64_t environment_number(const char* name, std::uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == '\0' ? otherwise : std::stoull(text);
}

inline std::uint64_t fuzz_cases(std::uint64_t in_the_suite) {
    return environment_number("DRIFTMOOR_FUZZ_CASES", in_the_suite);
}

// The seed is printed with every failure (SCOPED_TRACE), so a case found by
// a long run can be run again.
inline std::uint64_t fuzz_seed() {
    return environment_number("DRIFTMOOR_FUZZ_SEED", 20261208);
}

using FuzzRandom = std::mt19937_64;

// A whole number in [low, high].
inline std::size_t uniform(FuzzRandom& random, std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random);
}

}  // namespace driftmoor::fuzzing
