// A stream over a file opened for reading ("rb") or writing ("wb"). Owns the
// file; one thread at a time. The destructor flushes written bytes (errors
// there are dropped: call Flush first to see them) and closes the file.
#pragma once

#include <cstdio>

#include "dng/core/dng_stream.h"

class dng_file_stream : public dng_stream {
public:
    // dng_error_open_file when the file cannot be opened.
    dng_file_stream(const char* filename, bool output = false, uint32 bufferSize = kBigBufferSize);
    ~dng_file_stream() override;

protected:
    uint64 BackEndLength() override;
    void BackEndRead(void* data, uint32 count, uint64 offset) override;
    void BackEndSetLength(uint64 length) override;
    void BackEndWrite(const void* data, uint32 count, uint64 offset) override;

private:
    std::FILE* fFile = nullptr;
    bool fOutput;
};
