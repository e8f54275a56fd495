// The DNG colour-profile tags of one camera profile: calibration illuminants,
// colour, forward and reduction matrices, name, calibration signature, embed
// policy, copyright, hue/sat maps, look table, baseline exposure offset,
// default black render and tone curve. Nothing is added for a profile without
// a usable first colour matrix.
//
// Ownership: the set owns its tags and the tone-curve floats; the map and
// look-table tags point at the profile's tables, so the profile must outlive
// the directory's Put. One thread at a time.
#pragma once

#include <vector>

#include "dng/writer/tiff_tag.h"
#include "dng/writer/tiff_tag_pool.h"

class dng_camera_profile;
class dng_tiff_directory;

class dng_camera_profile_tag_set {
public:
    // A map whose entry count overflows fails with dng_error_overflow; a full
    // directory with dng_error_unknown.
    dng_camera_profile_tag_set(dng_tiff_directory& directory, const dng_camera_profile& profile);
    virtual ~dng_camera_profile_tag_set();
    dng_camera_profile_tag_set(const dng_camera_profile_tag_set&) = delete;
    dng_camera_profile_tag_set& operator=(const dng_camera_profile_tag_set&) = delete;

private:
    template <typename T, typename... Args>
    T& Make(Args&&... args) {
        return fTags.Make<T>(std::forward<Args>(args)...);
    }

    uint32 fHueSatMapDimsData[3] = {};
    uint32 fLookTableDimsData[3] = {};
    std::vector<real32> fToneCurveData;
    tiff_tag_pool<32, tag_data_ptr, tag_uint16, tag_uint32, tag_uint32_ptr, tag_srational,
                  tag_matrix, tag_string>
        fTags;
};
