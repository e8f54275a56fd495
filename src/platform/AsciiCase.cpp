#include "platform/AsciiCase.h"

#include <algorithm>
#include <cctype>

namespace platform {

std::string asciiLowercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowercaseExtension(const std::filesystem::path& p) {
    const std::string ext = p.extension().string();
    return ext.empty() ? ext : asciiLowercase(std::string_view(ext).substr(1));
}

}  // namespace platform
