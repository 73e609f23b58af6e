// Console output: UTF-16 text mode on Windows, UTF-8 lines elsewhere; every line flushed.
#include "common/console.hpp"

#include <cstdio>
#include <stdexcept>

#include "common/error.hpp"
#include "common/text.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace tarvo::console {
namespace {

Capture* g_capture = nullptr;

void write_line(std::FILE* stream, std::wstring_view line)
{
#ifdef _WIN32
    std::wstring text(line);
    text += L'\n';
    std::fputws(text.c_str(), stream);
#else
    const std::string bytes = to_utf8(line) + '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
#endif
    std::fflush(stream);
}

}  // namespace

void init()
{
#ifdef _WIN32
    // UTF-16 text mode: wide text goes out as UTF-16 whatever the console's code page.
    _setmode(_fileno(stdout), _O_U16TEXT);
    _setmode(_fileno(stderr), _O_U16TEXT);
#endif
}

void out(std::wstring_view line)
{
    if (g_capture != nullptr) {
        g_capture->out.append(line).append(1, L'\n');
        return;
    }
    write_line(stdout, line);
}

void err(std::wstring_view line)
{
    if (g_capture != nullptr) {
        g_capture->err.append(line).append(1, L'\n');
        return;
    }
    write_line(stderr, line);
}

void err_narrow(std::string_view line)
{
    if (g_capture != nullptr) {
        g_capture->err.append(widen_bytes(line)).append(1, L'\n');
        return;
    }
#ifdef _WIN32
    write_line(stderr, widen_bytes(line));
#else
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
#endif
}

Capture::Capture() { g_capture = this; }
Capture::~Capture() { g_capture = nullptr; }

int run_reporting_errors(const std::function<int()>& body, int failure, std::wstring_view unknown)
{
    try {
        return body();
    } catch (const wruntime_error& e) {
        err(L"Error: " + e.message());
    } catch (const std::runtime_error& e) {
        err_narrow(std::string("Error: ") + e.what());
    } catch (...) {
        err(unknown);
    }
    return failure;
}

}  // namespace tarvo::console
