// Locks held by two handles in one process, and real bytes that stay free under them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/file.hpp"
#include "common/file_lock.hpp"
#include "common/platform.hpp"

namespace tarvo {
namespace {

using Kind = FileLock::Kind;
using Outcome = FileLock::Outcome;

std::wstring scratch_file(const char* name)
{
    const auto path = std::filesystem::temp_directory_path() / (std::string("tarvo-lock-") + name);
    std::filesystem::remove(path);
    return from_fs_path(path);
}

TEST(FileLock, SharedLocksStandTogetherAnExclusiveOneAloneAndBytesStayFree)
{
    const std::wstring path = scratch_file("kinds");
    FileLock missing;
    EXPECT_EQ(missing.acquire(path, Kind::shared, false), Outcome::not_opened);

    FileLock first;
    ASSERT_EQ(first.acquire(path, Kind::shared, true), Outcome::locked);  // creates the file
    FileLock second;
    EXPECT_EQ(second.acquire(path, Kind::shared, false), Outcome::locked);
    FileLock writer;
    EXPECT_EQ(writer.acquire(path, Kind::exclusive, false), Outcome::in_use);

    // Reads, writes and a cut through another handle go on under both locks.
    {
        File file(path, File::Mode::read_write);
        ASSERT_TRUE(file.is_open());
        const std::string text = "0123456789";
        file.write(text.data(), text.size());
        file.truncate(4);
        file.seek(0);
        char back[4]{};
        EXPECT_TRUE(file.read_exact(back, sizeof back));
        EXPECT_EQ(std::string(back, 4), "0123");
        file.close();
    }

    // Closing another handle of the file drops nothing.
    EXPECT_EQ(writer.acquire(path, Kind::exclusive, false), Outcome::in_use);
    second = FileLock();
    EXPECT_EQ(writer.acquire(path, Kind::exclusive, false), Outcome::in_use);
    ASSERT_EQ(first.change_to(Kind::exclusive), Outcome::locked);
    EXPECT_EQ(second.acquire(path, Kind::shared, false), Outcome::in_use);
    first = FileLock();
    EXPECT_EQ(second.acquire(path, Kind::shared, false), Outcome::locked);

    EXPECT_EQ(std::filesystem::file_size(to_fs_path(path)), 4u);
    EXPECT_EQ(file_identity(path), file_identity(path));
    EXPECT_FALSE(file_identity(path + L".none"));
    second = FileLock();
    std::filesystem::remove(to_fs_path(path));
}

}  // namespace
}  // namespace tarvo
