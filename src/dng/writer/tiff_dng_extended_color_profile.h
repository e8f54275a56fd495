// One camera profile as a standalone TIFF-structured stream: byte-order mark,
// the profile magic 0x4352, the directory offset 8 and one directory of the
// profile's tags whose offsets count from the stream's start. This is the
// form of a profile file and of the extra profiles inside a DNG file.
//
// Ownership: refers to the caller's profile, which must outlive Put. One
// thread at a time.
#pragma once

#include "dng/writer/dng_tiff_directory.h"

class dng_camera_profile;
class dng_stream;

class tiff_dng_extended_color_profile : public dng_tiff_directory {
public:
    explicit tiff_dng_extended_color_profile(const dng_camera_profile& profile)
        : fProfile(profile) {}
    ~tiff_dng_extended_color_profile() override = default;

    // Writes the whole stream at the stream's position, in its byte order.
    // The camera model restriction is included only when asked and present.
    void Put(dng_stream& stream, bool includeModelRestriction = true);

private:
    const dng_camera_profile& fProfile;
};
