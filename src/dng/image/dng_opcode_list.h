// An ordered list of opcodes for one processing stage (1, 2 or 3), with its
// stream form (always big-endian: a count, then per opcode its id, minimum
// version, flags, byte count and parameters), spooling, fingerprinting and
// application.
//
// Owns its opcodes. Used by one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_types.h"
#include "dng/image/dng_opcodes.h"

class dng_host;
class dng_image;
class dng_negative;
class dng_stream;

class dng_opcode_list {
public:
    explicit dng_opcode_list(uint32 stage);
    ~dng_opcode_list();
    dng_opcode_list(const dng_opcode_list&) = delete;
    dng_opcode_list& operator=(const dng_opcode_list&) = delete;

    bool IsEmpty() const { return fList.empty(); }
    bool NotEmpty() const { return !IsEmpty(); }
    bool AlwaysApply() const { return fAlwaysApply && NotEmpty(); }
    uint32 Stage() const { return fStage; }
    uint32 Count() const { return static_cast<uint32>(fList.size()); }
    dng_opcode& Entry(uint32 index) { return *fList.at(index); }
    const dng_opcode& Entry(uint32 index) const { return *fList.at(index); }

    void Clear();
    void Swap(dng_opcode_list& other);

    // Takes ownership; an opcode of id 0 marks the list always-apply.
    void Append(std::unique_ptr<dng_opcode> opcode);

    // The largest minimum version, optional opcodes counted only when asked.
    uint32 MinVersion(bool includeOptional) const;

    // Reads byteCount bytes at startOffset. On any failure the list is left
    // empty and the error propagates.
    void Parse(dng_host& host, dng_stream& stream, uint32 byteCount, uint64 startOffset);

    // The stream form, or null for an empty list; dng_error_unknown when an
    // opcode of id 0 is listed.
    std::unique_ptr<dng_memory_block> Spool(dng_host& host) const;

    // The list's data for the raw data unique ID, in the stream's byte order.
    void FingerprintToStream(dng_stream& stream) const;

    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image);

private:
    std::vector<std::unique_ptr<dng_opcode>> fList;
    bool fAlwaysApply = false;
    uint32 fStage;
};
