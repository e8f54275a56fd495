// Case-insensitive comparisons of names, extensions and keys, folding one
// byte at a time with std::tolower (multi-byte UTF-8 letters stay as they
// are). Stateless and thread-safe.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

std::string asciiLowercase(std::string_view s);

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The extension without its dot, lower-cased ("ARW" -> "arw"); empty when
// the name has none.
std::string lowercaseExtension(const std::filesystem::path& p);

}  // namespace platform
