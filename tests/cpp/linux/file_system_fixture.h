// What the file-system unit tests share: a fresh directory per test, and
// checks on errors and descriptors.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>

#include "platform/os_error.h"

namespace driftmoor::testing_support {

// The platform code this error came from, or -1 when it holds another variant.
inline int os_code_of(const platform::OsError& error) {
    const auto* code = std::get_if<platform::OsError::OsCode>(&error.variant());
    return code ? code->code : -1;
}

// Whether the descriptor number is open in this process right now.
inline bool descriptor_is_open(int fd) {
    errno = 0;
    const bool open = ::fcntl(fd, F_GETFD) != -1;
    EXPECT_TRUE(open || errno == EBADF) << std::strerror(errno);
    return open;
}

// Each test gets an empty directory of its own, removed afterwards.
class TemporaryDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "driftmoor-unit-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Creates (or replaces) the file `name` holding `bytes`; returns its path.
    std::string write(const std::string& name, std::string_view bytes) {
        std::ofstream(dir_ / name, std::ios::binary).write(bytes.data(), std::ssize(bytes));
        return path(name);
    }

    std::filesystem::path dir_;
};

}  // namespace driftmoor::testing_support
