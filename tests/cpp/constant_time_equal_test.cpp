#include "digest/constant_time_equal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using driftmoor::digest::constant_time_equal;

// The fold works in 32-, 4- and 1-byte strides chosen by the length, so a
// difference must be found whichever stride covers its position.
TEST(ConstantTimeEqual, FindsADifferenceAtEveryPositionOfEveryLength) {
    for (std::size_t length = 0; length <= 100; ++length) {
        std::string a(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            a[i] = static_cast<char>('a' + i % 26);
        }
        ASSERT_TRUE(constant_time_equal(a, std::string(a))) << length;
        for (std::size_t position = 0; position < length; ++position) {
            for (unsigned char flip : {0x01, 0x80, 0xFF}) {
                std::string b = a;
                b[position] = static_cast<char>(b[position] ^ flip);
                ASSERT_FALSE(constant_time_equal(a, b)) << length << " at " << position;
                ASSERT_FALSE(constant_time_equal(b, a)) << length << " at " << position;
            }
        }
    }
}

TEST(ConstantTimeEqual, DifferentLengthsAreNeverEqual) {
    EXPECT_FALSE(constant_time_equal("abc", "abcd"));
    EXPECT_FALSE(constant_time_equal("", "a"));
    // A shared prefix does not make them equal.
    EXPECT_FALSE(constant_time_equal(std::string(64, 'f'), std::string(64, 'f') + "\n"));
    EXPECT_TRUE(constant_time_equal("", ""));
}

TEST(ConstantTimeEqual, ComparesBytesNotText) {
    EXPECT_FALSE(constant_time_equal("ABCDEF", "abcdef"));
    EXPECT_TRUE(constant_time_equal(std::string("a\0b", 3), std::string("a\0b", 3)));
    EXPECT_FALSE(constant_time_equal(std::string("a\0b", 3), std::string("a\0c", 3)));
}

}  // namespace
