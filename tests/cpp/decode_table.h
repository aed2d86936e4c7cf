// Checks a platform's table of error codes against the kinds they decode to.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>

#include "platform/os_error.h"

namespace driftmoor::testing_support {

struct CodeRow {
    std::int32_t code;
    platform::ErrorKind kind;
};

// Every code from 0 up to `end`: the listed ones decode to their kind and
// the rest are uncategorized, so a code out of place, or a kind that some
// code gives though the platform never reports it, shows up.
inline void expect_decode_table(std::span<const CodeRow> rows, std::int32_t end) {
    for (std::int32_t code = 0; code < end; ++code) {
        platform::ErrorKind expected = platform::ErrorKind::UncategorizedError;
        for (const auto& row : rows) {
            if (row.code == code) {
                expected = row.kind;
            }
        }
        EXPECT_EQ(platform::decode_os_code(code), expected) << "code " << code;
    }
}

}  // namespace driftmoor::testing_support
