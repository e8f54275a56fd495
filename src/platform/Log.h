// The system log: printf-style lines on stderr, or in a log file once a
// program chose one. Thread-safe; each call writes one whole line (a trailing
// newline is added when missing).
//
// Tests capture lines with LogCapture: while at least one capture is alive,
// lines go to every live capture instead of stderr or the file.
#pragma once

#include <cstdarg>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Never throws: a line that cannot be copied for want of memory is written
// as far as a fixed buffer holds it (captures miss it).
void log(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void logv(const char* format, va_list args) noexcept;

// From now on lines are appended to `file` (its folder is made), each with
// the time and the process id, instead of going to stderr. False when the
// file cannot be opened; the lines then stay where they went, and `whyNot`
// says which place failed and why ("the folder X cannot be made: Y is a
// file, not a folder"). An empty path sends them back to stderr.
bool logToFile(const std::filesystem::path& file, std::string* whyNot = nullptr);
// From now on lines go nowhere (captures still get them): for a program whose
// log file cannot be opened and whose stderr belongs to its user.
void discardLog();

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;  // without trailing newlines
    bool contains(std::string_view fragment) const;
    void clear();

    void append(std::string line);  // used by log()

private:
    struct State;
    State* state_;
};

}  // namespace platform
