// Archives made by the real create mode, updates run in a scratch directory, views of the bytes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/cli/pattern_list.hpp"
#include "qar/cli/worker_pool.hpp"
#include "qar/create/create_mode.hpp"
#include "qar/create/md5.hpp"
#include "qar/format/unpack.hpp"
#include "qar/update/extra_file.hpp"
#include "qar/update/space_allocation.hpp"
#include "qar/update/update_mode.hpp"
#include "qar/update/update_plan.hpp"
#include "tests/support/archive_builder.hpp"

namespace qar::update::test {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // archive name (UTF-8) to contents
using tarvo::test::read_bytes;

inline std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string out(size, '\0');
    // Four bytes from each draw: some tests want tens of megabytes.
    for (std::size_t i = 0; i < size; i += 4) {
        const std::uint32_t value = generator();
        for (std::size_t j = 0; j < 4 && i + j < size; ++j) out[i + j] = static_cast<char>(value >> (8 * j));
    }
    return out;
}

// Where tests that sync files thousands of times keep them: in memory where the system has a
// place for that (nothing in the tests can tell a synced file from one that is not).
inline fs::path fast_temp_directory()
{
    std::error_code error;
    const fs::path memory = "/dev/shm";
    return fs::is_directory(memory, error) ? memory : fs::temp_directory_path();
}

inline void write_file(const std::wstring& path, const std::string& content)
{
    fs::create_directories(tarvo::to_fs_path(path).parent_path());
    tarvo::test::write_bytes(path, {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
}

inline format::ArchiveMetadata read_archive(const std::wstring& path)
{
    tarvo::File file(path, tarvo::File::Mode::read);
    return format::read_metadata(file);
}

inline std::string name_of(const format::ArchiveMetadata& metadata, std::size_t i)
{
    return std::string(metadata.name_bytes(i));
}

inline std::size_t index_of(const format::ArchiveMetadata& metadata, const std::string& name)
{
    std::size_t i = 0;
    while (i < metadata.entries.size() && name_of(metadata, i) != name) ++i;
    return i;
}

inline ExtraFile extra_of(const std::wstring& archive)
{
    const format::ArchiveMetadata metadata = read_archive(archive);
    const std::size_t i = index_of(metadata, "qar_extra.bin");
    tarvo::File file(archive, tarvo::File::Mode::read);
    return load_extra_file(file, metadata.entries.at(i), metadata.blocks_of(i));
}

// A first file shorter than 16 bytes and a 10 MiB one that together make the reserve, an
// empty file sharing its data_offset with the next one, and a few more.
inline const Files& big_files()
{
    static const Files files{{"0_tiny.bin", "hello"},
                             {"1_bigg.bin", random_bytes(kReserveTarget, 1)},
                             {"2_empty.bin", ""},
                             {"3_mid.bin", random_bytes(70000, 3)},
                             {"sub/Case.bin", random_bytes(3000, 4)},
                             {"sub/dir/text.txt", std::string(150000, 't')}};
    return files;
}

struct Outcome {
    std::wstring out;
    std::optional<std::wstring> error;  // the message of a refusal
};

// A pool and a scratch directory per test. The archive made from big_files, and a copy of it
// after one update without loose files, are made once per suite; tests work on copies.
class UpdateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { set_up_suite(fs::temp_directory_path()); }
    // The suite's files below `root`.
    static void set_up_suite(const fs::path& root_dir)
    {
        suite_ = root_dir / ("tarvo-update-" + std::to_string(std::random_device{}()));
        WorkerPool pool(2);
        worker_pool = &pool;
        const std::wstring root = tarvo::from_fs_path(suite_);
        for (const auto& [name, content] : big_files()) write_file(root + L"/source/" + tarvo::from_utf8(name), content);
        fs::create_directories(suite_ / "empty");
        tarvo::console::Capture capture;
        create::create_archive(root + L"/source", root + L"/created.qar", kDefaultIgnorePatterns);
        fs::copy_file(suite_ / "created.qar", suite_ / "updated.qar");
        update_archive(root + L"/empty", root + L"/updated.qar", {}, L"", false, kDefaultIgnorePatterns);
        worker_pool = nullptr;
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(suite_, ignored);
    }

    void SetUp() override
    {
        worker_pool = &pool_;
        scratch_ = suite_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(scratch_);
    }
    void TearDown() override { worker_pool = nullptr; }

    std::wstring path(const std::wstring& name) const { return tarvo::from_fs_path(scratch_) + L"/" + name; }

    std::wstring copy_of(const char* which)
    {
        fs::copy_file(suite_ / which, scratch_ / which);
        return path(tarvo::from_utf8(which));
    }

    // Runs the update from a fresh loose directory that holds exactly `loose`.
    Outcome update(const std::wstring& archive, const Files& loose, bool add = false, const std::wstring& backups = L"")
    {
        const std::wstring source = path(L"loose" + std::to_wstring(++runs_));
        fs::create_directories(tarvo::to_fs_path(source));
        for (const auto& [name, content] : loose) write_file(source + L"/" + tarvo::from_utf8(name), content);
        Outcome outcome;
        tarvo::console::Capture capture;
        try {
            update_archive(source, archive, {}, backups, add, kDefaultIgnorePatterns);
        } catch (const tarvo::wruntime_error& e) {
            outcome.error = e.message();
        }
        outcome.out = capture.out;
        return outcome;
    }

    // Unpacking gives the expected contents, plus the whole extra file.
    void expect_unpacks_to(const std::wstring& archive, const Files& expected)
    {
        const std::wstring target = path(L"unpacked" + std::to_wstring(++runs_));
        {
            tarvo::console::Capture capture;
            format::unpack_archive(archive, target, L"");
        }
        std::size_t count = 0;
        for (const auto& item : fs::recursive_directory_iterator(tarvo::to_fs_path(target))) count += item.is_regular_file();
        EXPECT_EQ(count, expected.size() + 1);
        EXPECT_EQ(read_bytes(target + L"/qar_extra.bin").size(), kExtraFileSize);
        // Name by name: printing megabytes of contents helps nobody.
        for (const auto& [name, content] : expected)
            EXPECT_TRUE(read_bytes(target + L"/" + tarvo::from_utf8(name)) == content) << name << " differs";
    }

    // The last 16 bytes are the digest of the metadata.
    static void expect_trailer_digest(const std::wstring& archive)
    {
        const std::string bytes = read_bytes(archive);
        create::MD5 md5(std::string_view(bytes).substr(0, read_archive(archive).header.metadata_size));
        format::Digest digest{};
        md5.get_digest(digest);
        EXPECT_EQ(bytes.substr(bytes.size() - 16), std::string(digest.begin(), digest.end()));
    }

    // A refusal names its reason and leaves every byte of the archive as it was.
    void expect_refused(const std::wstring& archive, const Files& loose, const std::wstring& message,
                        const std::wstring& backups = L"")
    {
        const std::string before = read_bytes(archive);
        EXPECT_EQ(update(archive, loose, false, backups).error.value_or(L"(no error)"), message);
        EXPECT_TRUE(read_bytes(archive) == before) << "the refused update changed the archive";
    }

    inline static fs::path suite_;
    fs::path scratch_;

private:
    WorkerPool pool_{2};
    int runs_ = 0;
};

}  // namespace qar::update::test
