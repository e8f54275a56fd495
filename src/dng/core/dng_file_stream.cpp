#include "dng/core/dng_file_stream.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dng/core/dng_exception.h"
#include "platform/Error.h"
#include "platform/InputFile.h"

dng_file_stream::dng_file_stream(const char* filename, bool output, uint32 bufferSize)
    : dng_stream(static_cast<dng_abort_sniffer*>(nullptr), bufferSize, 0), fOutput(output) {
    // A pipe or device under a file's name would block the first read.
    if (filename) fFile = output ? std::fopen(filename, "wb") : platform::openRegularFile(filename);
    if (!fFile)
        ThrowOpenFile(output ? platform::systemErrorText(errno).c_str()
                             : platform::unreadableFileReason(errno).c_str());
}

dng_file_stream::~dng_file_stream() {
    if (fOutput) {
        try {
            Flush();
        } catch (...) {
            // A destructor must not throw; owners who care flush first.
        }
    }
    std::fclose(fFile);
}

uint64 dng_file_stream::BackEndLength() {
    if (fseeko(fFile, 0, SEEK_END) != 0) ThrowReadFile("Could not seek");
    const off_t length = ftello(fFile);
    if (length < 0) ThrowReadFile("Could not get the file length");
    return static_cast<uint64>(length);
}

void dng_file_stream::BackEndRead(void* data, uint32 count, uint64 offset) {
    if (offset > static_cast<uint64>(INT64_MAX)) ThrowEndOfFile("Offset beyond the file");
    if (fseeko(fFile, static_cast<off_t>(offset), SEEK_SET) != 0) ThrowReadFile("Could not seek");
    if (std::fread(data, 1, count, fFile) != count) {
        if (std::feof(fFile)) ThrowEndOfFile("Unexpected end of file");
        ThrowReadFile(platform::unreadableFileReason(errno).c_str());
    }
}

// A failed write's message is the system's reason ("File too large"), which
// the export shows its user.
void dng_file_stream::BackEndSetLength(uint64 length) {
    if (!fOutput) ThrowWriteFile("File is open for reading");
    if (std::fflush(fFile) != 0 || ftruncate(fileno(fFile), static_cast<off_t>(length)) != 0)
        ThrowWriteFile(platform::systemErrorText(errno).c_str());
}

void dng_file_stream::BackEndWrite(const void* data, uint32 count, uint64 offset) {
    if (!fOutput) ThrowWriteFile("File is open for reading");
    if (fseeko(fFile, static_cast<off_t>(offset), SEEK_SET) != 0)
        ThrowWriteFile(platform::systemErrorText(errno).c_str());
    // Flushed here, so that no failure waits for the close, which cannot report it.
    if (std::fwrite(data, 1, count, fFile) != count || std::fflush(fFile) != 0)
        ThrowWriteFile(platform::systemErrorText(errno).c_str());
}
