// The IPTC-IIM record of a photo's caption data: parsed from and spooled to
// the binary block stored in TIFF and JPEG files. A plain value with no lock.
#pragma once

#include <memory>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_string_list.h"

class dng_memory_allocator;

class dng_iptc {
public:
    dng_iptc() = default;
    virtual ~dng_iptc();

    bool IsEmpty() const;
    bool NotEmpty() const { return !IsEmpty(); }

    // Reads the datasets of a block; malformed or truncated data ends the
    // parse at the last whole dataset, never reading outside the block.
    void Parse(const void* blockData, uint32 blockSize, uint64 offsetInOriginalFile);
    // Writes the record big-endian; with padForTIFF the length is made a
    // multiple of 4. Texts are cut at the dataset limits.
    std::unique_ptr<dng_memory_block> Spool(dng_memory_allocator& allocator, bool padForTIFF) const;

    dng_string fTitle;
    int32 fUrgency = -1;
    dng_string fCategory;
    dng_string_list fSupplementalCategories;
    dng_string_list fKeywords;
    dng_string fInstructions;
    dng_date_time_info fDateTimeCreated;
    dng_date_time_info fDigitalCreationDateTime;
    dng_string_list fAuthors;
    dng_string fAuthorsPosition;
    dng_string fCity;
    dng_string fState;
    dng_string fCountry;
    dng_string fCountryCode;
    dng_string fLocation;
    dng_string fTransmissionReference;
    dng_string fHeadline;
    dng_string fCredit;
    dng_string fSource;
    dng_string fCopyrightNotice;
    dng_string fDescription;
    dng_string fDescriptionWriter;
};
