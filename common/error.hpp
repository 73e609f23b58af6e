// The program's own exception: a fixed narrow base text and the real message as wide text.
#pragma once

#include <stdexcept>
#include <string>

namespace tarvo {

// Every fatal condition of the modes is thrown as this; only the entry points print it.
// what() stays "Error" so code that only knows std::exception still sees a sensible text.
class wruntime_error : public std::runtime_error {
public:
    explicit wruntime_error(std::wstring message)
        : std::runtime_error("Error"), message_(std::move(message)) {}

    const std::wstring& message() const noexcept { return message_; }

private:
    std::wstring message_;
};

// Builds the common message shape: text, then the path between double quotes.
inline std::wstring quoted(std::wstring_view text, std::wstring_view path)
{
    std::wstring out(text);
    out += L'"';
    out += path;
    out += L'"';
    return out;
}

}  // namespace tarvo
