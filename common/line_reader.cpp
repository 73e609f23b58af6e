// Line splitting over a binary stream: the platform's text translation is done here, so
// both platforms see the same lines.
#include "common/line_reader.hpp"

#include <algorithm>

#include "common/error.hpp"
#include "common/platform.hpp"

namespace tarvo {
namespace {

constexpr std::size_t kChunk = 64 * 1024;  // lists are small; one chunk usually holds them whole

}  // namespace

File open_for_reading(const std::wstring& path)
{
    // Some systems open a directory for reading and fail only at the first read.
    if (path_kind_or_nothing(path) == PathKind::directory) return File();
    return File(path, File::Mode::read);
}

LineReader::LineReader(File& file, Mode mode) : file_(file), mode_(mode), buffer_(kChunk) {}

bool LineReader::fill()
{
    if (at_end_) return false;
    end_ = file_.read(buffer_.data(), buffer_.size());
    position_ = 0;
    if (file_.has_error()) throw wruntime_error(quoted(L"Cannot read input file ", file_.path()));
    if (end_ == 0) at_end_ = true;
    return end_ != 0;
}

bool LineReader::next(std::string& line)
{
    line.clear();
    bool any = false;
    for (;;) {
        if (position_ == end_ && !fill()) return any;
        any = true;
        const char* begin = buffer_.data() + position_;
        const char* stop = buffer_.data() + end_;
        const char* feed = std::find(begin, stop, '\n');
        line.append(begin, feed);
        position_ = static_cast<std::size_t>(feed - buffer_.data());
        if (feed != stop) {
            ++position_;
            if (mode_ == Mode::text && !line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
    }
}

}  // namespace tarvo
