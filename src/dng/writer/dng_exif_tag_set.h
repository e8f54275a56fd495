// The TIFF entries of one EXIF record: the TIFF-level fields (make, model,
// dates, copyright ...) go into the image's main directory, the others into an
// EXIF directory and a GPS directory that the set owns, and the two link
// entries that point at those directories are added to the main directory
// last, each only when its directory has entries. A field the record marks as
// absent is not written. Inside a DNG a few more fields are written to the
// main directory (image number, self-timer mode, battery level, lens
// information, camera serial number); outside a DNG, the fields EXIF keeps
// for compressed images (components configuration, pixel dimensions) are
// written when the record holds them.
//
// Ownership: the set owns its tags and its two directories; several tags point
// into the EXIF record and the maker-note bytes, which must outlive the set.
// The writer stores the file offsets of the two directories in the links
// before the main directory is written. One thread at a time.
#pragma once

#include "dng/core/dng_exif.h"
#include "dng/writer/dng_tiff_directory.h"
#include "dng/writer/tiff_tag.h"
#include "dng/writer/tiff_tag_pool.h"

class dng_exif_tag_set {
public:
    dng_exif_tag_set(dng_tiff_directory& directory, const dng_exif& exif,
                     bool makerNoteSafe = false, const void* makerNoteData = nullptr,
                     uint32 makerNoteLength = 0, bool insideDNG = false);
    virtual ~dng_exif_tag_set();
    dng_exif_tag_set(const dng_exif_tag_set&) = delete;
    dng_exif_tag_set& operator=(const dng_exif_tag_set&) = delete;

    dng_tiff_directory& ExifIFD() { return fExifIFD; }
    const dng_tiff_directory& ExifIFD() const { return fExifIFD; }
    dng_tiff_directory& GPSIFD() { return fGPSIFD; }
    const dng_tiff_directory& GPSIFD() const { return fGPSIFD; }

    bool HasExifLink() const { return fAddedExifLink; }
    bool HasGPSLink() const { return fAddedGPSLink; }
    void SetExifLink(uint32 offset) { fExifLink.Set(offset); }
    void SetGPSLink(uint32 offset) { fGPSLink.Set(offset); }

    // Places the EXIF directory at offset and the GPS directory right after
    // it, storing both offsets in the links.
    void Locate(uint32 offset);

    // Bytes of the two directories together.
    uint32 Size() const;

private:
    // Holds a tag for the life of the set; tags are created only when added.
    template <typename T, typename... Args>
    T& Make(Args&&... args) {
        return fTags.Make<T>(std::forward<Args>(args)...);
    }

    void AddMainTags(dng_tiff_directory& directory, const dng_exif& exif, bool makerNoteSafe,
                     const void* makerNoteData, uint32 makerNoteLength, bool insideDNG);
    void AddExifTags(const dng_exif& exif, bool makerNoteSafe, const void* makerNoteData,
                     uint32 makerNoteLength, bool insideDNG);
    void AddGPSTags(const dng_exif& exif);

    dng_tiff_directory fExifIFD;
    dng_tiff_directory fGPSIFD;

    tag_uint32 fExifLink;
    tag_uint32 fGPSLink;
    bool fAddedExifLink = false;
    bool fAddedGPSLink = false;

    uint8 fExifVersionData[4] = {};
    uint8 fFlashPixVersionData[4] = {};
    uint8 fComponentsConfigurationData[4] = {};
    uint8 fGPSVersionData[4] = {};
    uint8 fFileSourceData = 0;
    uint8 fSceneTypeData = 0;
    uint16 fSubjectAreaData[4] = {};
    char fImageUniqueIDData[33] = {};

    // Every tag the three directories can receive, with room to spare.
    tiff_tag_pool<128, tag_data_ptr, tag_uint8, tag_uint8_ptr, tag_uint16, tag_uint16_ptr,
                  tag_uint32, tag_urational, tag_urational_ptr, tag_srational, tag_exif_date_time,
                  tag_string, tag_encoded_text, tag_cfa_pattern>
        fTags;
};
