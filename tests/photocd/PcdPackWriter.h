// Builds Photo CD image packs for tests: the header sectors, the three base
// images, Huffman tables and residual records of 4Base and 16Base, and the
// 64Base extension folder (INFO.IC and extension files). Residual records
// are written for chosen rows only; rows without a record keep a residual of
// 0. Residual values lie in -7..7 and are coded with a prefix code whose
// codes all begin with 0, so coded data never imitates a sync mark.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pcdtest {

struct Planes {
    unsigned width = 0, height = 0;  // luma size; chroma is half each way
    std::vector<uint8_t> y, c1, c2;
};

// Signed residual planes of one level (chroma may be empty).
struct Residuals {
    unsigned width = 0, height = 0;
    std::vector<int8_t> y, c1, c2;
    std::vector<unsigned> lumaRows, chromaRows;  // rows that get a record
};

struct ExtensionLayout {
    int layers = 1;                // 1 or 3 layers written to INFO.IC
    int filesPerLayer = 2;         // runs of the luma layer
    bool lowerCaseFolder = false;  // "ipe/img0001/64base/info.ic", files lower case
    int declaredFiles = 0;         // overrides the file count of INFO.IC when > 0
    uint32_t segmentWidth = 1536;
    bool zeroSegmentWidth = false;
    bool badFileIndex = false;       // a fragment names a file beyond the list
    bool oversizeIndex = false;      // INFO.IC padded beyond 1 MiB
    uint32_t layerTableOffset = 0;   // overrides the offset of the layer table when > 0
    bool tablesRunPastEnd = false;   // Huffman definitions start at the last byte
    uint16_t destinationOffset = 0;  // the descriptors' destination offset
    // > 0: the luma layer alternates files 0 and 1 this often, each run
    // starting a megabyte before its first record.
    int rereadRuns = 0;
};

struct PackSpec {
    unsigned orientation = 0;
    unsigned highest = 4;  // level the attribute byte declares (2..5)
    uint32_t seed = 1;
    bool strayCodeBits = false;        // Huffman codes with junk below their length
    bool badCodeLength = false;        // a 16Base definition with a length byte of 16
    bool invalidCodeIn16Base = false;  // one 16Base luma record holds a pattern of no code
    bool pcdOpaOnly = false;           // "PCD_OPA" at byte 0 and no information sector
};

// A whole pack with its expected planes at every level (interpolation
// mode 0: each level replicates the one below and adds its residuals).
struct Pack {
    std::vector<uint8_t> bytes;
    Planes base[3];         // Base/16, Base/4, Base
    Residuals residual[3];  // 4Base, 16Base, 64Base
    Planes expected[6];     // planes at each level
};

Pack makePack(const PackSpec& spec);
// Writes the 64Base folder for `pack` beside the image file `pcdFile`:
// <pcdFile's parent's parent>/IPE/<name>/64BASE/INFO.IC and the extension
// files; fills pack.residual[2] and pack.expected[5]. Returns the INFO.IC path.
std::filesystem::path writeExtension(Pack& pack, const std::filesystem::path& pcdFile,
                                     const ExtensionLayout& layout, uint32_t seed = 7);

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Doubles a plane by replication (the mode-0 rule) and adds a residual.
std::vector<uint8_t> replicateAdd(const std::vector<uint8_t>& plane, unsigned width,
                                  unsigned height, const std::vector<int8_t>& residual);

}  // namespace pcdtest
