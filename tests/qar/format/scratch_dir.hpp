// A fresh directory per use, named after the test, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/platform.hpp"

namespace tarvo::test {

class ScratchDir {
public:
    ScratchDir()
    {
        static int serial = 0;  // several scratch directories in one test stay apart
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = std::filesystem::temp_directory_path() /
                ("tarvo-format-" + std::string(info->name()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // A path below the scratch directory, joined with the platform's separator.
    std::wstring path(const std::wstring& name) const { return join_path(from_fs_path(root_), name); }

private:
    std::filesystem::path root_;
};

}  // namespace tarvo::test
