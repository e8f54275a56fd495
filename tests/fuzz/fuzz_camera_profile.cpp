// Feeds arbitrary bytes to the camera-profile file reader, then uses whatever
// profile results: validity, fingerprints, hue/sat maps for a white and a
// `dng_color_spec` with its white searches. The same directory is also
// offered to the DNG shared-tag record. Any crash, hang, sanitizer report,
// huge allocation or exception other than dng_exception is a fault.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_camera_profile_info.h"
#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_negative_color_data.h"
#include "dng/color/dng_shared.h"
#include "dng/color/dng_temperature.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"

namespace {

class FuzzNegative : public dng_negative_color_data {
public:
    explicit FuzzNegative(uint32 channels) : fChannels(channels) {}
    uint32 ColorChannels() const override { return fChannels; }
    const dng_string& CameraCalibrationSignature() const override { return fSignature; }
    const dng_matrix& CameraCalibration1() const override { return fEmpty; }
    const dng_matrix& CameraCalibration2() const override { return fEmpty; }
    real64 AnalogBalance(uint32) const override { return 1.0; }

private:
    uint32 fChannels;
    dng_string fSignature;
    dng_matrix fEmpty;
};

void UseProfile(const dng_camera_profile& profile) {
    profile.Fingerprint();
    profile.UniqueID();
    dng_camera_profile copy(profile);
    copy.SetName("copy");
    (void)profile.EqualData(copy);

    const dng_xy_coord white = dng_temperature(4000.0, 10.0).Get_xy_coord();
    try {
        profile.HueSatMapForWhite(white);
    } catch (const dng_exception&) {
    }

    for (uint32 channels = 3; channels <= 4; channels++) {
        if (!profile.IsValid(channels)) continue;
        try {
            FuzzNegative negative(channels);
            dng_color_spec spec(negative, &profile);
            spec.SetWhiteXY(white);
            spec.NeutralToXY(spec.CameraWhite());
        } catch (const dng_exception&) {
        }
    }
}

void OfferToShared(const uint8_t* data, size_t size) {
    dng_stream stream(data, static_cast<uint32>(size));
    dng_shared shared;
    try {
        stream.SetReadPosition(0);
        stream.SetBigEndian(stream.GetUInt16() == 0x4D4D);
        stream.GetUInt16();
        const uint64 directory = stream.GetUInt32();
        stream.SetReadPosition(directory);
        const uint32 entries = stream.GetUInt16();
        for (uint32 i = 0; i < entries; i++) {
            stream.SetReadPosition(directory + 2 + 12 * static_cast<uint64>(i));
            const uint32 tag = stream.GetUInt16();
            const uint32 type = stream.GetUInt16();
            const uint32 count = stream.GetUInt32();
            if (static_cast<uint64>(TiffTagTypeSize(type)) * count > 4)
                stream.SetReadPosition(stream.GetUInt32());
            try {
                shared.ParseTag(stream, 0, tag, type, count, stream.Position());
            } catch (const dng_exception&) {
            }
        }
        shared.PostParse();
        shared.IsValidDNG();
    } catch (const dng_exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size > (1u << 24)) return 0;

    dng_camera_profile profile;
    bool parsed = false;
    try {
        dng_stream stream(data, static_cast<uint32>(size));
        dng_camera_profile_info info;
        if (info.ParseProfileStream(stream)) {
            profile.Parse(stream, info);
            parsed = true;
        }
    } catch (const dng_exception&) {
    }
    if (parsed) UseProfile(profile);

    OfferToShared(data, size);
    return 0;
}
