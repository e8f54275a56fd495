// The parsed structure of a DNG file: header and byte order, every image
// directory (the IFD chain and its SubIFDs), the EXIF and GPS records, the
// file-wide DNG tags (dng_shared) and the choice of the main raw image among
// previews, masks and other images. Parse reads only tags, never pixels; the
// negative then takes its values from here (dng_negative::Parse).
//
// Hostile files fail with dng_exception: cycles in the directory chain, more
// than kMaxEntries entries in a directory, more than kMaxIFDs directories,
// values or directories beyond the end of the stream, and files without a
// usable raw image or of a DNG version this system cannot read.
//
// Owned by the caller; one thread at a time.
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "dng/color/dng_shared.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_types.h"
#include "dng/image/dng_parsed_ifd.h"

class dng_host;
class dng_stream;

class dng_info {
public:
    static constexpr uint32 kMaxEntries = 4096;
    static constexpr uint32 kMaxIFDs = 128;
    static constexpr uint32 kMaxSubIFDsPerIFD = 32;
    static constexpr uint32 kMaxSubIFDDepth = 2;

    dng_info();
    virtual ~dng_info();
    dng_info(const dng_info&) = delete;
    dng_info& operator=(const dng_info&) = delete;

    // Reads the whole directory structure from the start of the stream, then
    // validates it (PostParse and IsValidDNG). Throws on any failure.
    virtual void Parse(dng_host& host, dng_stream& stream);

    // Settles the shared tags and picks the main, mask, depth and enhanced
    // directories.
    virtual void PostParse(dng_host& host);

    // dng_error_bad_format when the file is not a DNG this system can use,
    // dng_error_unsupported_dng when it needs a newer reader.
    virtual void ValidateDNG();

    uint32 IFDCount() const { return static_cast<uint32>(fIFD.size()); }
    const dng_parsed_ifd& IFD(uint32 index) const { return *fIFD.at(index); }
    dng_parsed_ifd& IFD(uint32 index) { return *fIFD.at(index); }
    const dng_parsed_ifd& MainIFD() const { return IFD(static_cast<uint32>(fMainIndex)); }

    bool fBigEndian = false;
    uint32 fMagic = 0;
    uint64 fTIFFBlockOffset = 0;

    std::unique_ptr<dng_exif> fExif;
    std::unique_ptr<dng_shared> fShared;

    // Directories in file order: IFD 0, its SubIFDs, then the next chained
    // IFD and its SubIFDs, and so on.
    std::vector<std::unique_ptr<dng_parsed_ifd>> fIFD;
    // The parent code each directory's tags were parsed under.
    std::vector<uint32> fIFDParent;

    int32 fMainIndex = -1;
    int32 fMaskIndex = -1;
    int32 fDepthIndex = -1;
    int32 fEnhancedIndex = -1;
    // Preview directories (NewSubFileType 1 and 0x10001).
    std::vector<uint32> fPreviewIndices;

    uint32 fXMPCount = 0;
    uint64 fXMPOffset = 0;

    // Codes of the rational tags that held only 0/0, which stands for no
    // value: they were read as absent, so their fields keep their defaults.
    std::vector<uint32> fValuelessTags;

private:
    void ParseIFD(dng_host& host, dng_stream& stream, uint64 offset, uint32 parentCode,
                  uint32 depth, uint64* nextIFD);
    void ParseTagDirectory(dng_stream& stream, uint64 offset, uint32 parentCode,
                           dng_parsed_ifd* ifd, uint64* nextIFD);
    void ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                  uint32 tagCount, uint64 valueOffset, dng_parsed_ifd* ifd);
    void ParseExtraProfiles(dng_stream& stream);
    void EnterDirectory(uint64 offset);

    std::set<uint64> fVisited;
    uint32 fSubIFDNumber = 0;
    uint32 fChainedNumber = 0;
};
