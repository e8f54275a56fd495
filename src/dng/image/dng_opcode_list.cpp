#include "dng/image/dng_opcode_list.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_image.h"

namespace {

// Id, minimum version, flags and byte count: the least an opcode occupies.
constexpr uint32 kOpcodeHeaderBytes = 16;

// Real lists hold a few dozen opcodes; some opcodes allocate far more than
// their parameter block (a two-entry MapTable keeps a 128 KiB table), so a
// small hostile list must not be able to demand gigabytes.
constexpr uint32 kMaxOpcodes = 256;

}  // namespace

dng_opcode_list::dng_opcode_list(uint32 stage) : fStage(stage) {}

dng_opcode_list::~dng_opcode_list() { Clear(); }

void dng_opcode_list::Clear() {
    fList.clear();
    fAlwaysApply = false;
}

void dng_opcode_list::Swap(dng_opcode_list& other) {
    fList.swap(other.fList);
    std::swap(fAlwaysApply, other.fAlwaysApply);
    std::swap(fStage, other.fStage);
}

void dng_opcode_list::Append(std::unique_ptr<dng_opcode> opcode) {
    if (!opcode) return;
    if (opcode->OpcodeID() == 0) fAlwaysApply = true;
    opcode->SetStage(fStage);
    fList.push_back(std::move(opcode));
}

uint32 dng_opcode_list::MinVersion(bool includeOptional) const {
    uint32 result = 0;
    for (const auto& op : fList)
        if (includeOptional || !op->Optional()) result = std::max(result, op->MinVersion());
    return result;
}

void dng_opcode_list::Parse(dng_host& host, dng_stream& stream, uint32 byteCount,
                            uint64 startOffset) {
    Clear();
    TempBigEndian order(stream, true);
    try {
        stream.SetReadPosition(startOffset);
        const uint32 count = stream.GetUInt32();
        // Each opcode needs its header: a larger count cannot be genuine.
        if (byteCount < 4 || count > (byteCount - 4) / kOpcodeHeaderBytes || count > kMaxOpcodes)
            ThrowBadFormat("Error parsing opcode list");
        for (uint32 i = 0; i < count; i++) {
            const uint32 id = stream.GetUInt32();
            std::unique_ptr<dng_opcode> op(host.MakeOpcode(id, stream));
            Append(std::move(op));
        }
        if (stream.Position() != startOffset + byteCount)
            ThrowBadFormat("Error parsing opcode list");
    } catch (...) {
        // A list that was not read completely must not be applied in part.
        Clear();
        throw;
    }
}

std::unique_ptr<dng_memory_block> dng_opcode_list::Spool(dng_host& host) const {
    if (IsEmpty()) return nullptr;
    if (fAlwaysApply) ThrowProgramError("cannot spool an always-apply opcode list");
    dng_memory_stream stream(host.Allocator(), nullptr, 64 * 1024);
    stream.SetBigEndian(true);
    stream.PutUInt32(Count());
    for (const auto& op : fList) {
        stream.PutUInt32(op->OpcodeID());
        stream.PutUInt32(op->MinVersion());
        stream.PutUInt32(op->Flags());
        op->PutData(stream);
    }
    return stream.CopyToMemoryBlock(host.Allocator());
}

void dng_opcode_list::FingerprintToStream(dng_stream& stream) const {
    if (IsEmpty()) return;
    stream.PutUInt32(Count());
    for (const auto& op : fList) {
        stream.PutUInt32(op->OpcodeID());
        stream.PutUInt32(op->MinVersion());
        stream.PutUInt32(op->Flags());
        if (op->OpcodeID() != 0) op->PutData(stream);
    }
}

void dng_opcode_list::Apply(dng_host& host, dng_negative& negative,
                            std::unique_ptr<dng_image>& image) {
    if (!image) ThrowProgramError("Bad image in dng_opcode_list::Apply");
    for (size_t i = 0; i < fList.size(); i++) {
        dng_opcode& op = *fList[i];
        if (op.AboutToApply(host, negative, image->Bounds(), image->Planes()))
            op.Apply(host, negative, image);
        if (!image) ThrowProgramError("Bad image in dng_opcode_list::Apply");
    }
}
