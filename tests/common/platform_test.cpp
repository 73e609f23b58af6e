// The form in which Windows is handed a path.
#include <gtest/gtest.h>

#include <string>

#include "common/platform.hpp"
#include "common/text.hpp"

namespace tarvo {
namespace {

TEST(WindowsSystemPath, LongFormFromTheThresholdOnAndForEveryAbsolutePathWhenForced)
{
    const std::wstring a(kLongPathThreshold - 4, L'a'), b = a + L'b';  // after "C:\": 247 and 248 characters
    const std::wstring r(kLongPathThreshold - 6, L'r');                 // after "C:\g\": 247 characters
    struct Case {
        std::wstring path, current;
        bool force;
        std::wstring expected;
    } const cases[] = {
        {L"C:\\" + a, L"C:\\g", false, L"C:\\" + a},
        {L"C:\\" + b, L"C:\\g", false, L"\\\\?\\C:\\" + b},
        {r, L"C:\\g", false, r},
        {L"m/" + r, L"C:\\g", false, L"\\\\?\\C:\\g\\m\\" + r},
        {L"C:/g/./x/../" + b + L"/", L"D:\\", false, L"\\\\?\\C:\\g\\" + b},
        {L"C:\\..\\..\\" + b, L"C:\\g", false, L"\\\\?\\C:\\" + b},
        {L"C:\\g\\" + b + L"\\..\\x.txt", L"C:\\g", false, L"\\\\?\\C:\\g\\x.txt"},
        {L"\\\\server\\share\\" + b, L"C:\\g", false, L"\\\\?\\UNC\\server\\share\\" + b},
        {L"//server/share/x/../../" + b, L"C:\\g", false, L"\\\\?\\UNC\\server\\share\\" + b},
        {L"\\" + b, L"D:\\games", false, L"\\\\?\\D:\\" + b},
        {L"\\" + b, L"\\\\srv\\sh\\dir", false, L"\\\\?\\UNC\\srv\\sh\\" + b},
        {L"c:" + b, L"C:\\g", false, L"\\\\?\\C:\\g\\" + b},
        {L"E:" + b, L"C:\\g", false, L"\\\\?\\E:\\" + b},
        {L"C:\\g\\x.txt", L"D:\\", true, L"\\\\?\\C:\\g\\x.txt"},
        {L"\\\\srv\\sh\\x.txt", L"D:\\", true, L"\\\\?\\UNC\\srv\\sh\\x.txt"},
        {L"x.txt", L"C:\\g", true, L"x.txt"},
        {L"\\\\?\\C:\\" + b + L"\\..", L"D:\\", true, L"\\\\?\\C:\\" + b + L"\\.."},
        {L"\\\\.\\pipe\\x", L"D:\\", true, L"\\\\.\\pipe\\x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(windows_system_path(c.path, c.current, c.force), c.expected)
            << to_utf8(c.path) << " in " << to_utf8(c.current) << (c.force ? ", forced" : "");
    }
}

}  // namespace
}  // namespace tarvo
