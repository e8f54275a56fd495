#include "platform/Log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

void logv(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, format, args);
    std::string line;
    if (needed < 0) {
        line = "(unformattable log message)";
    } else if (static_cast<size_t>(needed) < sizeof small) {
        line.assign(small, static_cast<size_t>(needed));
    } else {
        line.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(line.data(), line.size(), format, copy);
        line.resize(static_cast<size_t>(needed));
    }
    va_end(copy);
    while (!line.empty() && line.back() == '\n') line.pop_back();

    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    if (!s.captures.empty()) {
        for (LogCapture* c : s.captures) c->append(line);
        return;
    }
    line.push_back('\n');
    if (s.file) {
        line.insert(0, filePrefix());
        std::fwrite(line.data(), 1, line.size(), s.file);
        std::fflush(s.file);
        return;
    }
    if (s.discard) return;
    std::fwrite(line.data(), 1, line.size(), stderr);
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

void log(const char* format, ...) {
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
