// The one door to the console: every line the programs print goes through here.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tarvo::console {

// Windows: both streams in UTF-16 text mode. Elsewhere the streams stay byte streams
// and lines are written as UTF-8. Call once, before anything is printed.
void init();

// One line on standard output or standard error; a line feed is added and the stream flushed.
void out(std::wstring_view line);
void err(std::wstring_view line);

// A line of narrow library text on standard error (an exception's what()): its bytes go
// out as they are where the console is a byte stream, and widened one by one on Windows.
void err_narrow(std::string_view line);

// Runs body and returns its status; an exception it throws is printed as the run's one error
// line ("Error: " and the message, or the program's own `unknown` line for anything that isn't
// a runtime error) and gives `failure` instead. For the entry points, the only place errors are
// printed.
int run_reporting_errors(const std::function<int()>& body, int failure, std::wstring_view unknown);

// While alive, lines go into these buffers (each followed by L'\n') instead of the console,
// so tests can see exactly what a mode printed. Not nestable; main thread only.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::wstring out;
    std::wstring err;
};

}  // namespace tarvo::console
