// What the start and the directories of a camera file say, read without
// LibRaw: which raw format it begins as (by its signature, or a TIFF whose
// directories hold a maker's tags), whether it is a plain picture under a
// raw name, the Make and Model exactly as the file states them, and how the
// TIFF structure places its image data.
//
// It never trusts the file: at most 32 directories, 1024 entries each, and
// every offset checked against the file's size. Plain functions over the
// file's bytes; safe from several threads.
#pragma once

#include <cstdint>
#include <string>

struct RawFileFacts {
    // A TIFF header (II*\0 or MM\0*).
    bool tiff = false;
    // The first directory could be read in full.
    bool firstReadable = false;
    // Every directory of the TIFF structure could be read and no strip lies
    // past the file's end.
    bool directoriesIntact = false;
    // The first directory holds a DNG version.
    bool dng = false;
    // The directories hold what only a camera's raw file carries:
    // sub-directories of raw data, a colour-filter or linear-raw image, a
    // maker's compression, colour-filter tags or a maker's note. Other
    // private tags (a map's, an analysis program's) belong to pictures too.
    bool makerTags = false;
    // A TIFF picture: its first directory describes a whole RGB, grey or
    // palette image and nothing in it is a camera's.
    bool tiffPicture = false;
    // The raw format the file begins as ("Canon CRW", "TIFF-based raw"),
    // empty when its start is that of none.
    std::string format;
    // Make and Model as the file states them (empty when it states none or
    // the format keeps them where this reader does not look).
    std::string make;
    std::string model;
    // The camera's clock as a count of seconds read as UTC (a CRW's), not
    // a date text read in the machine's zone.
    bool clockIsUTC = false;
    // The first strip or tile that lies past the file's end.
    uint64_t pastEndOffset = 0;
    uint64_t pastEndBytes = 0;
    // The largest single strip or tile of any directory.
    uint64_t largestStrip = 0;

    static RawFileFacts read(const std::string& path);
};
