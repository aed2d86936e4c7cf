// What the Windows unit tests share: a fresh directory per test, reached
// through wide paths so that any name can be made.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>

#include "platform/os_error.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::testing_support {

// The platform code this error came from, or -1 when it holds another variant.
inline int os_code_of(const platform::OsError& error) {
    const auto* code = std::get_if<platform::OsError::OsCode>(&error.variant());
    return code ? code->code : -1;
}

// Each test gets an empty directory of its own, removed afterwards.
class TemporaryDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               (L"driftmoor-unit-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                platform::wtf8_to_utf16(test->name()));
        std::filesystem::remove_all(dir_);
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // The path text of `name` inside the directory ("" for the directory).
    std::string path(std::string_view name = "") const {
        const std::filesystem::path full = name.empty() ? dir_ : dir_ / wide(name);
        return platform::utf16_to_wtf8(full.native());
    }
    // Creates (or replaces) the file `name` holding `bytes`; returns its path.
    std::string write(std::string_view name, std::string_view bytes) {
        std::ofstream(dir_ / wide(name), std::ios::binary).write(bytes.data(), std::ssize(bytes));
        return path(name);
    }
    std::string make_directory(std::string_view name) {
        EXPECT_TRUE(std::filesystem::create_directories(dir_ / wide(name)));
        return path(name);
    }

    static std::wstring wide(std::string_view text) { return platform::wtf8_to_utf16(text); }

    std::filesystem::path dir_;
};

}  // namespace driftmoor::testing_support
