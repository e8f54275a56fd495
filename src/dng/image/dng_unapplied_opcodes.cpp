#include "dng/image/dng_unapplied_opcodes.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_stream.h"

dng_opcode_Unapplied::dng_opcode_Unapplied(uint32 opcodeID, dng_host& host, dng_stream& stream,
                                           const char* name)
    : dng_opcode(opcodeID, stream, name) {
    const uint32 size = ReadByteCount(stream);
    if (size) {
        fData = host.Allocate(size);
        stream.ReadBytes(fData->Buffer(), size);
    }
    Validate();
}

void dng_opcode_Unapplied::Validate() const {
    const uint32 size = fData ? fData->LogicalSize() : 0;
    dng_stream s(fData ? fData->Buffer() : nullptr, size);
    s.SetBigEndian(true);
    const auto fail = [] { ThrowBadFormat("bad opcode parameters"); };

    switch (OpcodeID()) {
        case dngOpcode_WarpRectilinear:
        case dngOpcode_WarpFisheye: {
            if (size < 4) fail();
            const uint32 planes = s.GetUInt32();
            const uint64 perPlane = OpcodeID() == dngOpcode_WarpRectilinear ? 6 : 4;
            if (planes < 1 || planes > 4 || size != 4 + planes * perPlane * 8 + 16) fail();
            break;
        }
        default:
            break;
    }
}

void dng_opcode_Unapplied::PutData(dng_stream& stream) const {
    if (!fData) {
        stream.PutUInt32(0);
        return;
    }
    stream.PutUInt32(fData->LogicalSize());
    stream.WriteBytes(fData->Buffer(), fData->LogicalSize());
}

void dng_opcode_Unapplied::Apply(dng_host&, dng_negative&, std::unique_ptr<dng_image>&) {
    if (Optional()) return;
    ThrowNotYetImplemented("opcode not supported");
}
