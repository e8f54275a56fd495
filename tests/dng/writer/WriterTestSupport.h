// Helpers shared by the writer tests: capture what a tag or directory writes,
// find entries, and run the outside checkers when they are installed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/writer/dng_tiff_directory.h"
#include "dng/writer/tiff_tag.h"

namespace writertest {

using Bytes = std::vector<uint8>;

inline Bytes StreamBytes(dng_stream& stream) {
    auto block = stream.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
    return Bytes(block->Buffer_uint8(), block->Buffer_uint8() + block->LogicalSize());
}

inline Bytes PutBytes(const tiff_tag& tag, bool bigEndian) {
    dng_memory_stream stream(gDefaultDNGMemoryAllocator);
    stream.SetBigEndian(bigEndian);
    tag.Put(stream);
    return StreamBytes(stream);
}

inline const tiff_tag* FindTag(const dng_tiff_directory& dir, uint32 code) {
    for (uint32 i = 0; i < dir.EntryCount(); i++) {
        if (dir.Entry(i)->Code() == code) return dir.Entry(i);
    }
    return nullptr;
}

inline bool ToolAvailable(const char* tool) {
    const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Standard output of a shell command.
inline std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The value exiftool prints for one tag ("-s3" form), without the newline.
inline std::string ExifToolValue(const std::string& path, const std::string& tag,
                                 const std::string& options = "") {
    std::string out =
        RunCommand("exiftool -s3 " + options + " -" + tag + " '" + path + "' 2>/dev/null");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace writertest
