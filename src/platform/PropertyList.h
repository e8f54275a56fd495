// XML property-list files: reading and writing platform::Value through
// pugixml. Reals are written with enough digits to read back the same double
// (so single-precision values survive too); integers and reals stay distinct;
// data is base64; dates are "YYYY-MM-DDTHH:MM:SSZ" in UTC.
//
// Readers never crash or throw on malformed input: they return nullopt and
// fill the Error, whose reason says in a reader's words what is wrong; the
// parser's own report goes to the log. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace platform {

std::optional<Value> parsePropertyList(std::string_view xml, Error* error = nullptr);
std::string serializePropertyList(const Value& value);

// Files larger than this are refused before reading, unless the caller gives
// a limit of its own (the program's own files, which only it writes).
// With numbersAsText, a number that cannot be read is read as its text
// (for a reader that checks each value's type) instead of failing the file.
inline constexpr uintmax_t kMaxPropertyListFileSize = 256u << 20;
std::optional<Value> readPropertyList(const std::filesystem::path& file, Error* error = nullptr,
                                      uintmax_t maxFileSize = kMaxPropertyListFileSize,
                                      bool numbersAsText = false);
// Atomic: a temporary file in the same folder is written, flushed to disk and
// renamed over the target, so readers see the old or the new file, never half.
// A target that is a symbolic link is written through to the file it ends
// at; one that is not a regular file is refused. The temporary file is held
// locked while written, so removeStaleTemporaryFiles spares it.
bool writePropertyList(const Value& value, const std::filesystem::path& file,
                       Error* error = nullptr);

// Atomic replacement of a file's bytes (used by writePropertyList).
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         Error* error = nullptr);
// The same, with the bytes written by `fill` into the open temporary file;
// `fill` returns false with errno set when it fails.
bool writeFileAtomically(const std::filesystem::path& file, const std::function<bool(int fd)>& fill,
                         Error* error = nullptr);
// Writes all of `bytes` to `fd`, through interruptions; false with errno set.
bool writeAll(int fd, std::string_view bytes);
// The file a chain of symbolic links ends at (the path itself when it is no
// link): what a write through the path really replaces.
std::filesystem::path linkTarget(const std::filesystem::path& file);
// Removes the temporary files of writes to `file` that did not finish (a
// killed writer's): those no living writer holds locked.
void removeStaleTemporaryFiles(const std::filesystem::path& file);

// Files whose top level is an array. writePropertyList lays them out with a
// fixed head, each element on lines of its own and a fixed tail (an empty
// array is written on one line instead). A large file can be indexed once,
// one element read from its bytes, and the file rewritten from the bytes of
// the elements that did not change.
inline constexpr std::string_view kArrayFileHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n\t<array>\n";
inline constexpr std::string_view kArrayFileTail = "\t</array>\n</plist>\n";
// One element's lines, as serializePropertyList(array) writes them.
std::string serializeArrayElement(const Value& element);
std::optional<Value> parseArrayElement(std::string_view bytes, Error* error = nullptr);

struct ArrayElementSpan {
    uint64_t offset = 0;
    uint64_t size = 0;
};
struct ArrayElementInfo {
    ArrayElementSpan span;  // from the start of its line, with its last newline
    bool isDictionary = false;
    // The value can be read (else `problem` says why, and `key` is still
    // found when it is a string).
    bool readable = true;
    // The bytes are exactly what serializeArrayElement gives for the value.
    bool canonical = false;
    Value key;  // a dictionary's value under the scan's key; null when absent
    std::string problem;
};
// Reads the array property list open as `fd` from its start, in memory
// bounded by a few blocks and its largest element, whatever its layout (a
// document type, comments, other indentation), and hands each element's
// span and what it holds to `element`, in order (the elements are parsed on
// the global queue, on every processor). False when the file is not
// well-formed XML with an array at the top, or when `element` returns false.
bool scanArrayFile(int fd, std::string_view key,
                   const std::function<bool(ArrayElementInfo&&)>& element);

std::string base64Encode(const Value::Data& data);
std::optional<Value::Data> base64Decode(std::string_view text);  // ignores whitespace

}  // namespace platform
