// Archives made by the real create mode and updated, for the update and check tests; updates run in a
// scratch directory; views of the bytes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/check/archive_check.hpp"
#include "qar/create/create_mode.hpp"
#include "qar/format/journal.hpp"
#include "qar/unpack/unpack_mode.hpp"
#include "qar/update/update_mode.hpp"
#include "qar/update/update_plan.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::update::test {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // archive name (UTF-8) to contents
using tarvo::test::error_of, tarvo::test::random_bytes, tarvo::test::read_archive, tarvo::test::read_bytes, tarvo::test::write_bytes;

inline bool exists(const std::wstring& path) { return fs::exists(tarvo::to_fs_path(path)); }


inline void write_files(const std::wstring& directory, const Files& files)
{
    fs::create_directories(tarvo::to_fs_path(directory));
    for (const auto& [name, content] : files) write_bytes(directory + L"/" + tarvo::from_utf8(name), content);
}

inline std::string flipped(std::string bytes, std::size_t at)
{
    bytes[at] ^= 1;
    return bytes;
}

// Overwrites bytes of the archive, or appends past its end.
inline void scribble(const std::wstring& archive, std::uint64_t offset, const std::string& bytes)
{
    tarvo::File file(archive, tarvo::File::Mode::read_write);
    file.seek(offset);
    file.write(bytes.data(), bytes.size());
    file.close();
}

// Sets a field of entry i in the archive.
template <class Field>
void set_entry(const std::wstring& archive, std::size_t i, Field format::FileEntry::*field, std::uint64_t value)
{
    auto image = read_bytes<std::vector<std::uint8_t>>(archive);
    tarvo::test::set_entry(image, read_archive(archive).entries.size(), i, field, value);
    write_bytes(archive, image);
}

// Saves the ranges in the journal's one commit and marks the archive, as an update does first.
inline void commit(format::JournalWriter& journal, const std::wstring& archive,
                   std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> ranges)
{
    for (const auto& [offset, length] : ranges) journal.save(offset, length);
    tarvo::File file(archive, tarvo::File::Mode::read_write);
    journal.commit_saved(file);
}

// After the first update the entries are 2_empty.bin, 3_mid.bin, sub/Case.bin, sub/dir/text.txt,
// 0_tiny.bin, 1_bigg.bin, qar_extra.bin, then the ones added.
constexpr std::size_t kMid = 1;
constexpr std::size_t kExtra = 6;

inline ExtraFile extra_of(const std::wstring& archive)
{
    const format::ArchiveMetadata metadata = read_archive(archive);
    tarvo::File file(archive, tarvo::File::Mode::read);
    return load_extra_file(file, metadata.entries.at(kExtra), metadata.blocks_of(kExtra));
}

// An update that died once it had written over the tables behind the header: journal and mark stay.
inline void interrupt(const std::wstring& archive)
{
    format::JournalWriter journal(archive, read_bytes(archive).size());
    commit(journal, archive, {{0, 4096}});
    scribble(archive, format::kHeaderSize, random_bytes(4096 - format::kHeaderSize, 21));
}

// The reserve's tiny and 10 MiB files, an empty one sharing the next one's data_offset, a few more.
inline const Files& big_files()
{
    static const Files files{{"0_tiny.bin", "hello"},         {"1_bigg.bin", random_bytes(kReserveTarget, 1)},
                             {"2_empty.bin", ""},             {"3_mid.bin", random_bytes(70000, 3)},
                             {"sub/Case.bin", random_bytes(3000, 4)}, {"sub/dir/text.txt", std::string(150000, 't')}};
    return files;
}

struct Outcome {
    std::wstring out;
    std::optional<std::wstring> error;  // the message of a refusal
};

// A pool and a scratch directory per test; "created.qar" (from big_files) and "updated.qar" (its
// first update) once per suite, in memory where offered: some tests sync files thousands of times.
class UpdateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::error_code error;
        suite_ = fs::is_directory("/dev/shm", error) ? "/dev/shm" : fs::temp_directory_path();
        suite_ /= "tarvo-update-" + std::to_string(std::random_device{}());
        WorkerPool pool(2);
        const std::wstring root = tarvo::from_fs_path(suite_);
        write_files(root + L"/source", big_files());
        write_files(root + L"/empty", {});
        tarvo::console::Capture capture;
        create::create_archive(root + L"/source", root + L"/created.qar", kDefaultIgnorePatterns, pool);
        fs::copy_file(suite_ / "created.qar", suite_ / "updated.qar");
        update_archive(root + L"/empty", root + L"/updated.qar", {}, L"", false, kDefaultIgnorePatterns, pool);
    }
    static void TearDownTestSuite() { std::error_code ignored; fs::remove_all(suite_, ignored); }
    void SetUp() override
    {
        fs::create_directories(scratch_ = suite_ / ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    std::wstring path(const std::wstring& name) const { return tarvo::from_fs_path(scratch_) + L"/" + name; }

    std::wstring copy_of(const char* which)
    {
        fs::copy_file(suite_ / which, scratch_ / which);
        return path(tarvo::from_utf8(which));
    }

    // Runs the update from `source`, by default a fresh directory, after writing `loose` into it.
    Outcome update(const std::wstring& archive, const Files& loose, bool add = false, const std::wstring& backups = L"",
                   std::wstring source = L"")
    {
        if (source.empty()) source = path(L"loose" + std::to_wstring(++runs_));
        write_files(source, loose);
        tarvo::console::Capture capture;
        const std::optional<std::wstring> error = error_of([&] { update_archive(source, archive, {}, backups, add, kDefaultIgnorePatterns, pool_); });
        return {capture.out, error};
    }

    // The error of an unpack into "unpacked", or of a create from an empty folder.
    std::optional<std::wstring> unpack(const std::wstring& archive)
    {
        tarvo::console::Capture capture;
        return error_of([&] { unpack::unpack_archive(archive, path(L"unpacked"), L"", pool_); });
    }
    std::optional<std::wstring> create_empty(const std::wstring& archive)
    {
        tarvo::console::Capture capture;
        return error_of([&] { create::create_archive(tarvo::from_fs_path(suite_ / "empty"), archive, L"", pool_); });
    }

    // The archive checks sound against exactly the expected files, with the extra file beside them.
    void expect_whole_archive(const std::wstring& archive, const Files& expected)
    {
        const std::wstring folder = path(L"expected" + std::to_wstring(++runs_));
        write_files(folder, expected);
        tarvo::console::Capture capture;
        EXPECT_EQ(check::check_archive({archive, false, L"", folder}, pool_), check::kSound) << tarvo::to_utf8(capture.out);
        EXPECT_EQ(read_archive(archive).entries.size(), expected.size() + 1);
    }

    // A refusal names its reason and leaves every byte of the archive as it was.
    void expect_refused(const std::wstring& archive, const Files& loose, const std::wstring& message,
                        const std::wstring& backups = L"")
    {
        const std::string before = read_bytes(archive);
        EXPECT_EQ(update(archive, loose, false, backups).error, message);
        EXPECT_TRUE(read_bytes(archive) == before) << "the refused update changed the archive";
    }

    inline static fs::path suite_;
    fs::path scratch_;
    WorkerPool pool_{2};

private:
    int runs_ = 0;
};

}  // namespace qar::update::test
