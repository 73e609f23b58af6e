// Reads a file line by line as byte strings, with or without text-mode line ends.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/file.hpp"

namespace tarvo {

// Opens an existing file for reading; is_open() is false when it can't be opened. A
// directory never opens, on any platform.
File open_for_reading(const std::wstring& path);

class LineReader {
public:
    enum class Mode {
        text,    // a carriage return right before a line feed is dropped, as Windows text mode does
        binary,  // every byte but the line feed stays in the line
    };

    // The file must stay open while the reader is used.
    LineReader(File& file, Mode mode);

    // The next line without its line feed; false at the end of the file. Bytes after the
    // last line feed form a last line only if there is at least one. A read failure throws
    // wruntime_error `Cannot read input file "PATH"`, so a damaged file never passes for
    // a short one.
    bool next(std::string& line);

private:
    bool fill();

    File& file_;
    Mode mode_;
    std::vector<char> buffer_;
    std::size_t position_ = 0;
    std::size_t end_ = 0;
    bool at_end_ = false;
};

}  // namespace tarvo
