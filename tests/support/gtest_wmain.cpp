// Entry point of the test executables on Windows: everything links with the wide entry point
// (wmain), so GoogleTest's own main() would never be called there.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
