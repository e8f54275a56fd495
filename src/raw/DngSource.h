// DNG files, on our own reader: one object per decode. It opens the file
// (directories and metadata, the colour and level tags reviewed, no pixels),
// checks before any pixel memory is taken that the file can hold the image
// it claims and that the image is within this system's sizes, chooses the
// colour spec (the chosen camera profile or the file's own), reads the raw
// data through stage 2 (stage 3 for LinearRaw and monochrome data) and
// takes it down the road of RawDevelop.h, running opcode list 3 on each
// demosaiced rendering.
//
// What it hands on is rawWrapper::Decoded: the master and alternate
// renderings (the master only for full-colour and monochrome data), or for
// a thumbnail the largest embedded preview that decodes, else a half-size
// rendering; with make, model, the as-shot white and camera matrix,
// baseline exposure, whether the picture is output-referred, the metadata,
// and the warnings of tags set aside.
//
// How it fails: a file that does not begin as TIFF is refused as no raw
// format Quorvex decodes (under a ".dng" name, as a malformed DNG). What
// this class judges itself (a size the file cannot hold, a filter layout or
// lossy data it does not develop, no colour matrix, absurd colour tags)
// throws a platform::Error in "RawOpenErrorDomain" in a person's words; the
// DNG reader's own failures come as dng_exception, which DngError words;
// memory runs out as std::bad_alloc.
//
// Not thread-safe: one thread uses an object (rawWrapper's decoder lock
// serialises decodes anyway).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "raw/RawDevelop.h"
#include "raw/rawWrapper.h"

class DngSource {
public:
    // Whether the file begins with a TIFF header. Where the file is first
    // opened: one that cannot be read throws, saying so.
    static bool startsLikeTIFF(const std::string& path);

    // Opens the file and reads its directories and metadata.
    explicit DngSource(const std::string& path);
    ~DngSource();
    DngSource(const DngSource&) = delete;
    DngSource& operator=(const DngSource&) = delete;

    // The default crop's size, turned to the orientation; throws when the
    // file cannot hold the image data it claims.
    std::pair<uint32_t, uint32_t> orientedSize() const;
    // Whether the colorimetric reference says the picture is already rendered.
    bool statesRenderedPicture() const;
    // Decodes once; the file's images go as soon as nothing needs them.
    void decode(const RawDecodeRequest& req, rawWrapper::Decoded& out, std::vector<uint16_t>& lut);

    // The opened file (internal).
    struct Opened;

private:
    std::string path_;
    std::unique_ptr<Opened> dng_;
};
