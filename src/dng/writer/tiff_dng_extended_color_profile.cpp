#include "dng/writer/tiff_dng_extended_color_profile.h"

#include <memory>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_camera_profile_info.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/dng_camera_profile_tag_set.h"
#include "dng/writer/tiff_tag.h"

void tiff_dng_extended_color_profile::Put(dng_stream& stream, bool includeModelRestriction) {
    constexpr uint32 kDirectoryOffset = 8;

    stream.PutUInt16(stream.IsBigEndian() ? 0x4D4D : 0x4949);
    stream.PutUInt16(dng_camera_profile_info::kProfileMagic);
    stream.PutUInt32(kDirectoryOffset);

    // The tags live only for this call, so the directory must not keep them.
    struct Emptier {
        dng_tiff_directory& directory;
        ~Emptier() { directory.RemoveAll(); }
    } emptier{*this};
    RemoveAll();

    dng_camera_profile_tag_set tagSet(*this, fProfile);

    std::unique_ptr<tag_string> modelTag;
    if (includeModelRestriction && fProfile.UniqueCameraModelRestriction().NotEmpty()) {
        modelTag = std::make_unique<tag_string>(tcUniqueCameraModel,
                                                fProfile.UniqueCameraModelRestriction(), true);
        Add(modelTag.get());
    }

    dng_tiff_directory::Put(stream, offsetsRelativeToExplicitBase, kDirectoryOffset);
}
