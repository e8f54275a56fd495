// The export of a rendered image as TIFF, DNG or OpenEXR: the image's
// packed 16-bit RGB (TIFF, DNG) or float RGBA (OpenEXR) samples go to the
// format's front, row band by row band, which writes into a fresh temporary file beside the
// destination; the file is put in place by the policy only when the front
// succeeded, so a failed write leaves no file. A front's failure is -13 with
// the front's text. Stateless; one call per export.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/Error.h"
#include "platform/OutputFile.h"
#include "platform/Value.h"

class CGImageBitMap;

class ExportFronts {
public:
    // Whether `type` is written here (TIFF, DNG or OpenEXR).
    static bool handles(const std::string& type);

    // Writes `image` as `type` to `url`; `settings` give the OpenEXR format,
    // `properties` the metadata. False with the error otherwise. The samples
    // go to the front band by band, never as a copy of the whole image; the
    // image is let go as soon as the front holds what it needs of it (the
    // caller keeps no other reference when its memory should go early).
    static bool write(std::shared_ptr<CGImageBitMap> image, const std::string& type,
                      const platform::Dictionary& settings, const platform::Dictionary& properties,
                      const std::filesystem::path& url, const platform::OutputFile::Policy& policy,
                      std::filesystem::path* written, platform::Error* error);
};
