// The camera colour tags of a DNG main directory: camera calibration matrices
// and their signature, as-shot profile name, analog balance, as-shot neutral
// or white, and linear response limit. Nothing is added for a negative with
// fewer than two colour channels.
//
// Ownership: the set owns its tags and their values and must outlive the
// directory's Put. One thread at a time.
#pragma once

#include "dng/writer/tiff_tag.h"
#include "dng/writer/tiff_tag_pool.h"

class dng_negative;
class dng_tiff_directory;

class dng_camera_color_tag_set {
public:
    // More than four colour channels fails with dng_error_unknown.
    dng_camera_color_tag_set(dng_tiff_directory& directory, const dng_negative& negative);
    ~dng_camera_color_tag_set();
    dng_camera_color_tag_set(const dng_camera_color_tag_set&) = delete;
    dng_camera_color_tag_set& operator=(const dng_camera_color_tag_set&) = delete;

private:
    dng_urational fAnalogBalanceData[4];
    dng_urational fAsShotNeutralData[4];
    dng_urational fAsShotWhiteXYData[2];

    tiff_tag_pool<8, tag_matrix, tag_string, tag_urational, tag_urational_ptr> fTags;
};
