// The screen's colour and the conversion of display tiles to it.
//
// Tiles come from the engine as 16-bit RGBA in their own profile (the display
// rendering space, linear ProPhoto with a D65 white, or whatever a thumbnail
// carries) with 65325 standing for 1.0. They are converted to the screen's
// profile through the shared lcms2 transforms into 8-bit RGB QImages, which
// any thread may make (no QPixmap is involved).
//
// The screen profile: the file named by $QUORVEX_SCREEN_ICC when set and
// readable (for tests), else the X screen's published _ICC_PROFILE, else
// sRGB. It is looked up once per process; thread-safe.
#pragma once

#include <QImage>
#include <memory>

#include "platform/BitmapImage.h"
#include "platform/IccProfile.h"

namespace platform {

class DisplayColor {
public:
    static std::shared_ptr<const IccProfile> screenProfile();
    // Looks the screen profile up again (tests that change the environment).
    static void forgetScreenProfile();

    // The 16-bit RGBA tile as an 8-bit picture in `screen`'s colours; a null
    // QImage for any other layout, a bitmap without bytes, or a failed
    // conversion. Samples at or above 65325 are white.
    static QImage screenImage(const BitmapImage& tile,
                              const std::shared_ptr<const IccProfile>& screen);
};

}  // namespace platform
