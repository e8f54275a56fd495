#include "document/MacOSStatusHelper.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Log.h"

namespace {

constexpr const char* kUnknown = "Unknown Error";

struct StatusText {
    long code;
    const char* text;
    const char* comment;
};

constexpr StatusText kStatusTexts[] = {
    {-25296, "Keychain already exists", "A keychain of that name already exists."},
};

const StatusText* find(long code) {
    for (const StatusText& entry : kStatusTexts)
        if (entry.code == code) return &entry;
    return nullptr;
}

std::string withPrefix(const std::optional<std::string>& prefix, const std::string& text) {
    return prefix ? *prefix + text : text;
}

}  // namespace

std::string MacOSStatusHelper::getErrorString(long code, const std::optional<std::string>& prefix) {
    std::string text = kUnknown;
    if (const StatusText* entry = find(code))
        text = entry->text;
    else if (code > 0 && code < 4096)
        text = std::strerror(int(code));
    return withPrefix(prefix, text);
}

std::string MacOSStatusHelper::getErrorDescription(long code,
                                                   const std::optional<std::string>& prefix) {
    std::string comment;
    if (const StatusText* entry = find(code))
        comment = entry->comment;
    else if (code > 0 && code < 4096)
        comment = std::strerror(int(code));
    // From the first letter on: codes' comments may begin with punctuation.
    const auto first = std::find_if(comment.begin(), comment.end(),
                                    [](unsigned char c) { return std::isalpha(c) != 0; });
    comment.erase(comment.begin(), first);
    return withPrefix(prefix, comment.empty() ? kUnknown : comment);
}

std::string MacOSStatusHelper::getLogString(long code, const std::string& calledFunction,
                                            const std::optional<std::string>& prefix) {
    return prefix.value_or("Application Error ") + calledFunction + getErrorString(code) + ": " +
           getErrorDescription(code);
}

void MacOSStatusHelper::outputLogString(long code, const std::string& calledFunction) {
    if (code != 0) platform::log("%s", getLogString(code, calledFunction).c_str());
}
