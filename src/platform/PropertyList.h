// XML property-list files: reading and writing platform::Value through
// pugixml. Reals are written with enough digits to read back the same double
// (so single-precision values survive too); integers and reals stay distinct;
// data is base64; dates are "YYYY-MM-DDTHH:MM:SSZ" in UTC.
//
// Readers never crash or throw on malformed input: they return nullopt and
// fill the Error. All functions are thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace platform {

std::optional<Value> parsePropertyList(std::string_view xml, Error* error = nullptr);
std::string serializePropertyList(const Value& value);

// Files larger than this are refused before reading.
inline constexpr uintmax_t kMaxPropertyListFileSize = 256u << 20;
std::optional<Value> readPropertyList(const std::filesystem::path& file, Error* error = nullptr);
// Atomic: a temporary file in the same folder is written, flushed to disk and
// renamed over the target, so readers see the old or the new file, never half.
bool writePropertyList(const Value& value, const std::filesystem::path& file,
                       Error* error = nullptr);

// Atomic replacement of a file's bytes (used by writePropertyList).
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         Error* error = nullptr);

std::string base64Encode(const Value::Data& data);
std::optional<Value::Data> base64Decode(std::string_view text);  // ignores whitespace

}  // namespace platform
