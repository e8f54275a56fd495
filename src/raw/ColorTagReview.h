// A look at the colour and level tags of a parsed DNG before a negative is
// made from them. A value no camera produces (not finite, out of the bounds
// below, or a matrix that cannot be inverted, as read or once rounded to
// the 1/10000 the decoder keeps it at) would render a flat or
// nonsensical image without a word; instead such a tag is set aside as if
// it were absent, with a warning naming it, or, where nothing can stand in
// for it, the file is refused with the reason.
//
// A rational tag holding only 0/0 (no value) was already read as absent by
// the parser; it gets a note for the log, not a warning.
//
// Bounds:
//   BaselineExposure                 finite, within -8 .. +8 EV; else ignored.
//   AsShotNeutral, AnalogBalance     every entry finite, > 0 and <= 16, the
//                                    largest at most 100 times the smallest;
//                                    else ignored.
//   AsShotWhiteXY                    x and y finite, > 0, x + y < 1; else ignored.
//   ColorMatrix1                     entries finite, |e| <= 100, invertible;
//                                    else the file is refused.
//   ColorMatrix2, ForwardMatrix1/2,  entries finite, |e| <= 100, invertible
//   CameraCalibration1/2             (forward matrices: as 3 x planes); else
//                                    ignored (ColorMatrix2 with its second
//                                    illuminant, forward, reduction and
//                                    calibration matrices).
//   WhiteLevel                       finite, > 0, at most the largest sample
//                                    the data can hold (2^bits - 1, 65535 for
//                                    a linearization table; any for floats),
//                                    at least its square root (half its
//                                    bits), and above a black level within
//                                    that range; else ignored (the data's
//                                    own maximum).
//   BlackLevel                       every entry finite, >= 0 and below the
//                                    white level; else ignored (0).
#pragma once

#include <string>
#include <vector>

#include "color/ColorMatrixProblem.h"

class dng_info;

struct ColorTagReview {
    std::vector<std::string> ignored;  // one sentence per tag set aside
    std::string refusal;               // why the file cannot be used; empty when it can
    std::vector<std::string> notes;    // for the log only: tags read as absent
};

// Reviews and, where needed, clears tags in `info` (after info.Parse, before
// the negative reads it). `fileName` is only used in the texts.
ColorTagReview ReviewColorTags(dng_info& info, const std::string& fileName);
