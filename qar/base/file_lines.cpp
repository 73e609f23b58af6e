#include "qar/base/file_lines.hpp"

#include <cstdio>
#include <string_view>

#include "common/text.hpp"

namespace qar {
namespace {

constexpr float kKilobytesPerByte = 1.0f / 1024.0f;

// Fixed notation with the given printf format; the figure is single precision, printed as a double.
std::wstring format_float(const char* format, float value)
{
    char text[64];
    const int length = std::snprintf(text, sizeof text, format, static_cast<double>(value));
    return tarvo::widen_bytes(std::string_view(text, length > 0 ? static_cast<std::size_t>(length) : 0));
}

}  // namespace

std::wstring listing_line(const std::wstring& name, std::uint64_t size)
{
    return name + L" (" + format_float("%.2f", static_cast<float>(size) * kKilobytesPerByte) + L"kB)";
}

std::wstring progress_line(std::uint64_t done, std::uint64_t total, const std::wstring& name)
{
    const float percent = total == 0 ? 100.0f : static_cast<float>(done) / static_cast<float>(total) * 100.0f;
    return format_float("%6.2f", percent) + L"%: " + name;
}

}  // namespace qar
