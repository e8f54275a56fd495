#include "platform/Log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace platform {

struct LogCapture::State {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

namespace {

struct Sinks {
    std::mutex mutex;
    std::vector<LogCapture*> captures;
    std::FILE* file = nullptr;  // never closed: logging may run during exit
    bool discard = false;
};

// "2026-12-07 14:39:27 [1234] " in local time.
std::string filePrefix() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    char text[64] = {};
    if (localtime_r(&now, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(text) + " [" + std::to_string(::getpid()) + "] ";
}

Sinks& sinks() {
    static Sinks* instance = new Sinks;  // never destroyed: logging may run during exit
    return *instance;
}

}  // namespace

namespace {

// Without allocating: what a line becomes when memory is short. The text is
// cut at the buffer's size.
void writeFixed(Sinks& s, const char* text, size_t length) noexcept {
    while (length > 0 && text[length - 1] == '\n') --length;
    if (!s.captures.empty() || s.discard) return;
    std::FILE* to = s.file ? s.file : stderr;
    std::fwrite(text, 1, length, to);
    std::fputc('\n', to);
    std::fflush(to);
}

}  // namespace

// Reports failures, often from a catch handler while memory is short: it must
// not throw. A line that cannot be copied is written from the stack.
void logv(const char* format, va_list args) noexcept {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, format, args);
    if (needed < 0) {
        std::strcpy(small, "(unformattable log message)");
        needed = int(std::strlen(small));
    }
    const size_t fitted = std::min(static_cast<size_t>(needed), sizeof small - 1);
    Sinks& s = sinks();
    std::unique_lock lock(s.mutex, std::defer_lock);
    try {
        std::string line;
        if (static_cast<size_t>(needed) < sizeof small) {
            line.assign(small, fitted);
        } else {
            line.resize(static_cast<size_t>(needed) + 1);
            std::vsnprintf(line.data(), line.size(), format, copy);
            line.resize(static_cast<size_t>(needed));
        }
        while (!line.empty() && line.back() == '\n') line.pop_back();

        lock.lock();
        if (!s.captures.empty()) {
            for (LogCapture* c : s.captures) c->append(line);
        } else {
            line.push_back('\n');
            if (s.file) {
                line.insert(0, filePrefix());
                std::fwrite(line.data(), 1, line.size(), s.file);
                std::fflush(s.file);
            } else if (!s.discard) {
                std::fwrite(line.data(), 1, line.size(), stderr);
            }
        }
    } catch (...) {
        // Short of memory (or of a lock): the line as far as it fitted.
        try {
            if (!lock.owns_lock()) lock.lock();
            writeFixed(s, small, fitted);
        } catch (...) {
        }
    }
    va_end(copy);
}

namespace {

// Why `folder` could not be made: an ancestor that is a file says it best.
std::string folderProblem(const std::filesystem::path& folder, const std::error_code& made) {
    const std::string intro = "the folder " + folder.string() + " cannot be made";
    std::error_code ec;
    for (auto up = folder; !up.empty() && up != up.parent_path(); up = up.parent_path()) {
        const auto status = std::filesystem::status(up, ec);
        if (!std::filesystem::exists(status)) continue;
        if (!std::filesystem::is_directory(status))
            return intro + ": " + up.string() + " is a file, not a folder";
        break;
    }
    return intro + " (" + made.message() + ")";
}

}  // namespace

bool logToFile(const std::filesystem::path& file, std::string* whyNot) {
    std::FILE* opened = nullptr;
    if (!file.empty()) {
        std::error_code made;
        const auto folder = file.parent_path();
        if (!folder.empty() && !std::filesystem::create_directories(folder, made) && made) {
            if (whyNot) *whyNot = folderProblem(folder, made);
            return false;
        }
        opened = std::fopen(file.c_str(), "ae");
        if (!opened) {
            if (whyNot)
                *whyNot = file.string() + " cannot be opened (" +
                          std::error_code(errno, std::generic_category()).message() + ")";
            return false;
        }
    }
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    if (s.file) std::fclose(s.file);
    s.file = opened;
    s.discard = false;
    return true;
}

void discardLog() {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
    s.discard = true;
}

void log(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    logv(format, args);
    va_end(args);
}

LogCapture::LogCapture() : state_(new State) {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    s.captures.push_back(this);
}

LogCapture::~LogCapture() {
    {
        Sinks& s = sinks();
        std::lock_guard lock(s.mutex);
        s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), this), s.captures.end());
    }
    delete state_;
}

void LogCapture::append(std::string line) {
    std::lock_guard lock(state_->mutex);
    state_->lines.push_back(std::move(line));
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

bool LogCapture::contains(std::string_view fragment) const {
    std::lock_guard lock(state_->mutex);
    return std::any_of(state_->lines.begin(), state_->lines.end(),
                       [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
}

void LogCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->lines.clear();
}

}  // namespace platform
