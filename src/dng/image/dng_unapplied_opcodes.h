// Opcodes this system reads, checks and writes back but does not apply:
// the lens warps. Each keeps its
// parameter block as read (after checking its size against the parameters it
// declares). Applying one is skipped when the opcode is optional and fails
// with dng_error_not_yet_implemented otherwise, so a file that needs one is
// refused clearly rather than rendered wrongly.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/image/dng_opcodes.h"

class dng_opcode_Unapplied : public dng_opcode {
public:
    void PutData(dng_stream& stream) const override;
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

    const dng_memory_block* Data() const { return fData.get(); }

protected:
    dng_opcode_Unapplied(uint32 opcodeID, dng_host& host, dng_stream& stream, const char* name);

private:
    // dng_error_bad_format when the block's size disagrees with its contents.
    void Validate() const;

    std::unique_ptr<dng_memory_block> fData;
};

#define QUORVEX_UNAPPLIED_OPCODE(NAME, ID)                     \
    class dng_opcode_##NAME : public dng_opcode_Unapplied {    \
    public:                                                    \
        dng_opcode_##NAME(dng_host& host, dng_stream& stream)  \
            : dng_opcode_Unapplied(ID, host, stream, #NAME) {} \
    };

QUORVEX_UNAPPLIED_OPCODE(WarpRectilinear, dngOpcode_WarpRectilinear)
QUORVEX_UNAPPLIED_OPCODE(WarpFisheye, dngOpcode_WarpFisheye)

#undef QUORVEX_UNAPPLIED_OPCODE
