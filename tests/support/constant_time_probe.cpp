// constant_time_probe: runs the digest comparison, compiled as it ships, on
// bytes that valgrind's memcheck is told are undefined. Memcheck then reports
// every conditional jump and every memory address that depends on them,
// which is exactly what could make the comparison's time depend on where, or
// whether, the inputs differ. Only the result is made defined again, since
// the caller must be able to act on it.
//
// Run it as `valgrind --error-exitcode=N constant_time_probe`; with
// `--early-exit-control` it runs a comparison that stops at the first
// difference instead, which memcheck must report, so a run that reports
// nothing is known to have been able to.

#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "digest/constant_time_equal.h"

namespace {

using Comparison = bool (*)(std::string_view, std::string_view) noexcept;

// The comparison memcheck must catch: it returns at the first byte that
// differs. Kept out of line so it is compiled like the real one, on its own.
[[gnu::noinline]] bool early_exit_equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// Each input has a heap block of exactly its length, so that a read past
// either end is reported as well.
bool compare_undefined(Comparison compare, std::string_view a_bytes, std::string_view b_bytes) {
    const auto a = std::make_unique_for_overwrite<char[]>(a_bytes.size());
    const auto b = std::make_unique_for_overwrite<char[]>(b_bytes.size());
    std::memcpy(a.get(), a_bytes.data(), a_bytes.size());
    std::memcpy(b.get(), b_bytes.data(), b_bytes.size());
    // The values stay; memcheck only forgets that they are known.
    VALGRIND_MAKE_MEM_UNDEFINED(a.get(), a_bytes.size());
    VALGRIND_MAKE_MEM_UNDEFINED(b.get(), b_bytes.size());
    bool equal = compare({a.get(), a_bytes.size()}, {b.get(), b_bytes.size()});
    VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
    return equal;
}

}  // namespace

int main(int argc, char** argv) {
    Comparison compare = driftmoor::digest::constant_time_equal;
    if (argc == 2 && std::string_view(argv[1]) == "--early-exit-control") {
        compare = early_exit_equal;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: constant_time_probe [--early-exit-control]\n");
        return 2;
    }
    if (RUNNING_ON_VALGRIND == 0) {
        std::fprintf(stderr, "constant_time_probe: run me under valgrind's memcheck\n");
        return 2;
    }

    int comparisons = 0;
    int wrong = 0;
    const auto check = [&](std::string_view a, std::string_view b, bool expected) {
        ++comparisons;
        if (compare_undefined(compare, a, b) != expected) {
            ++wrong;
            std::fprintf(stderr, "wrong result for length %zu\n", a.size());
        }
    };

    // Every length that reaches each stride of the fold (32, 4 and 1 bytes
    // at a time) in every combination, equal and with one byte differing at
    // the start, in the middle and at the end.
    for (std::size_t length = 0; length <= 130; ++length) {
        std::string a(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            a[i] = "0123456789abcdef"[(i * 7 + 3) % 16];
        }
        check(a, a, true);
        for (std::size_t position : {std::size_t{0}, length / 2, length - 1}) {
            if (position < length) {
                std::string b = a;
                b[position] ^= 0x01;
                check(a, b, false);
            }
        }
    }
    // A digest's length, with the difference at every position.
    const std::string digest(64, 'e');
    for (std::size_t position = 0; position < digest.size(); ++position) {
        std::string other = digest;
        other[position] = 'f';
        check(digest, other, false);
    }

    std::printf("%d comparisons, %d wrong\n", comparisons, wrong);
    return wrong == 0 ? 0 : 1;
}
