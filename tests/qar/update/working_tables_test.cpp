// Working tables built from a created archive and written back unchanged reproduce it.
#include "qar/update/working_tables.hpp"

#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using WorkingTablesTest = UpdateTest;

TEST_F(WorkingTablesTest, WrittenBackUnchangedTheyReproduceTheCreatedTables)
{
    // The created archive has an empty file between others and files of several blocks.
    const std::wstring path = copy_of("created.qar");
    const std::string before = read_bytes(path);
    tarvo::File archive(path, tarvo::File::Mode::read_write);
    const format::ArchiveMetadata metadata = format::read_metadata(archive);
    BuiltTables built = build_working_tables(metadata);
    EXPECT_FALSE(built.extra_entry);
    EXPECT_EQ(write_tables(built.tables, archive), metadata.header.metadata_size);
    archive.close();
    EXPECT_TRUE(read_bytes(path) == before);
}

}  // namespace
}  // namespace qar::update::test
