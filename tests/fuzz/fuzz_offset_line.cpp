// Fuzzing the offset list of tarvo-size: the input is an offset list file, read line by line in
// text mode; each line is matched, its offset converted and held to strtoull with a 32-bit limit.
// The unit tests hold the matcher to the line expression.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/line_reader.hpp"
#include "size/offset_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace sz = tarvo::size;
    using tarvo::fuzz::finding;
    static const tarvo::fuzz::ScratchRoot scratch("offset_line");
    const std::string_view input = tarvo::fuzz::as_text(data, size);
    tarvo::File file = tarvo::open_for_reading(scratch.write_input("offsets.txt", input));
    tarvo::LineReader reader(file, tarvo::LineReader::Mode::text);
    for (std::string line; reader.next(line);) {
        const auto entry = sz::match_offset_line(line);
        if (!entry) continue;
        const sz::OffsetValue value = sz::convert_offset(entry->offset_text);
        errno = 0;
        const unsigned long long reference = std::strtoull(entry->offset_text.c_str(), nullptr, 16);
        if (errno == ERANGE || reference > 0xFFFFFFFFull) {
            if (value.status != sz::OffsetStatus::too_big) finding("an offset above 32 bits was not refused");
        } else if (value.status != sz::OffsetStatus::ok || value.offset != reference) {
            finding("an offset converted to another value than base 16 gives");
        }
    }
    return 0;
}
