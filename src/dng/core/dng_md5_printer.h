// MD5 digests (RFC 1321) as dng_fingerprint values, and a write-only stream
// whose bytes are digested as they are written. One owner, no lock.
#pragma once

#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_types.h"

class dng_md5_printer {
public:
    dng_md5_printer() { Reset(); }

    void Reset();
    void Process(const void* data, uint32 length);
    // Finishes the digest on the first call; later calls give the same value.
    const dng_fingerprint& Result();

private:
    void Transform(const uint8 block[64]);

    uint32 fState[4];
    uint64 fBitCount;
    uint8 fBuffer[64];
    bool fFinal;
    dng_fingerprint fResult;
};

// Digests bytes written in order from offset 0; reading or seeking back is an
// error (dng_error_unknown).
class dng_md5_printer_stream : public dng_stream {
public:
    dng_md5_printer_stream() = default;
    // Flushes and gives the digest of everything written.
    const dng_fingerprint& Result();

protected:
    uint64 BackEndLength() override { return fNextOffset; }
    void BackEndWrite(const void* data, uint32 count, uint64 offset) override;

private:
    dng_md5_printer fPrinter;
    uint64 fNextOffset = 0;
};
