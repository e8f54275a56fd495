// The negative is deliberately neutral: linear data (or a mosaic) with white
// 65535 and black 0, one camera profile whose matrix maps XYZ to the
// buffer's RGB, a D50 white (in the file: stated as a neutral of 1 1 1, with
// a linear DNG's matrix for D65) and no tone curve of its own, so that a
// reader develops the pixels the caller handed over.
#include "export/DngTiffWriter.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_color_spec.h"
#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/core/dng_xmp.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_orientation.h"
#include "dng/image/dng_render.h"
#include "dng/image/dng_simple_image.h"
#include "dng/image/dng_tile_buffer.h"
#include "dng/writer/dng_image_writer.h"
#include "dng/writer/dng_preview.h"
#include "dng/writer/tiff_tag.h"
#include "export/ImagePropertyImport.h"
#include "platform/Colorimetry.h"
#include "platform/Dispatch.h"
#include "platform/Version.h"

namespace {

// Rows X, Y, Z; columns R, G, B.
constexpr const auto& kSRGBD65 = platform::colorimetry::kXYZFromSRGB;
constexpr const auto& kProPhotoD50 = platform::colorimetry::kXYZFromProPhoto;

dng_matrix_3by3 FromRows(const double (&m)[3][3]) {
    return dng_matrix_3by3(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1],
                           m[2][2]);
}

constexpr uint32_t kMaxEmbeddedFile = 0xFFFFFFFFu;
constexpr uint32_t kOriginalBlock = 65536;

bool ContainsNoCase(const char* text, const char* part) {
    if (!text) return false;
    std::string t(text);
    for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    return t.find(part) != std::string::npos;
}

int32_t CodeOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const dng_exception& e) {
        return e.ErrorCode();
    } catch (const std::bad_alloc&) {
        return dng_error_memory;
    } catch (...) {
        return dng_error_unknown;
    }
}

// The Bayer phase of a 2 × 2 pattern code, or -1.
int BayerPhase(uint32_t code) {
    switch (code) {
        case 0xE1E1E1E1:
            return 0;
        case 0xB4B4B4B4:
            return 1;
        case 0x1E1E1E1E:
            return 2;
        case 0x4B4B4B4B:
            return 3;
        default:
            return -1;
    }
}

// Make and model, unless the model already begins with the make ("Canon",
// "Canon EOS Kiss X4"); empty ones still give " ".
std::string UniqueModel(const char* make, const char* model) {
    const std::string m = make ? make : "", name = model ? model : "";
    const bool named = !m.empty() && name.size() >= m.size() &&
                       std::equal(m.begin(), m.end(), name.begin(),
                                  [](char a, char b) {
                                      return std::tolower(static_cast<unsigned char>(a)) ==
                                             std::tolower(static_cast<unsigned char>(b));
                                  }) &&
                       (name.size() == m.size() || name[m.size()] == ' ');
    return named ? name : m + " " + name;
}

// How the file states the buffer's white, for developers of every kind. The
// buffer is already white-balanced: its neutral is 1 1 1, the profile's D50
// white, said as AsShotNeutral (some ignore AsShotWhiteXY). A linear DNG's
// matrix is stated for D65 (XYZ under D65 adapted to D50 first), so that
// developers that take a single matrix to be D65 adapt the colours as we
// do. Only for the file: rendered here, the D50 white and matrix are exact,
// while the round trips through a neutral and through D65 are not quite.
void StateWhiteForFile(dng_negative& n, bool linear) {
    n.SetCameraWhiteXY(0.0, 0.0);
    n.SetCameraNeutral(dng_vector_3(1.0, 1.0, 1.0));
    if (!linear) return;
    auto profile = std::make_unique<dng_camera_profile>(n.ProfileByIndex(0));
    const dng_xy_coord d65(platform::colorimetry::kD65White.x, platform::colorimetry::kD65White.y);
    profile->SetColorMatrix1(profile->ColorMatrix1() * MapWhiteMatrix(d65, D50_xy_coord()));
    profile->SetCalibrationIlluminant1(21);
    profile->ClearFingerprint();
    n.DeleteAllProfiles();
    n.AddProfile(std::move(profile));
}

dng_date_time_info ParsedDate(const char* text) { return ImagePropertyImport::parsedDate(text); }

}  // namespace

DngTiffWriter::DngTiffWriter() : DngTiffWriter(192, 128) {}

DngTiffWriter::DngTiffWriter(int width, int height)
    : fWidth(width), fHeight(height), fColorMatrix(Invert(FromRows(kProPhotoD50))) {
    fHost.SetAreaTaskThreadCount(platform::processorCount());
}

// The negative goes first: a digest it still computes uses the host.
DngTiffWriter::~DngTiffWriter() { fNegative.reset(); }

void DngTiffWriter::SetColorMatrix(bool invert, float m00, float m10, float m20, float m01,
                                   float m11, float m21, float m02, float m12, float m22) {
    // Column order: (m00, m10, m20) is the first column.
    dng_matrix_3by3 m(m00, m01, m02, m10, m11, m12, m20, m21, m22);
    fColorMatrix = m;
    if (!invert) return;
    try {
        fColorMatrix = Invert(m);
    } catch (const dng_exception&) {
        fColorMatrix = Invert(FromRows(kSRGBD65));
    }
}

void DngTiffWriter::DescribeBuffer(dng_ifd& ifd, uint32_t orientation) const {
    const bool cfa = fCFAPattern != 0;
    const uint32_t samples = cfa ? 1 : 3;
    ifd.fUsesNewSubFileType = true;
    ifd.fNewSubFileType = 0;
    ifd.fImageWidth = uint32_t(fWidth);
    ifd.fImageLength = uint32_t(fHeight);
    for (uint32_t s = 0; s < samples; ++s) {
        ifd.fBitsPerSample[s] = 16;
        ifd.fSampleFormat[s] = 1;
        ifd.fWhiteLevel[s] = 65535.0;
    }
    ifd.fSamplesPerPixel = samples;
    ifd.fPlanarConfiguration = pcInterleaved;
    ifd.fCompression = ccUncompressed;
    ifd.fPredictor = cpNullPredictor;
    ifd.fFillOrder = 1;
    ifd.fOrientation = orientation;
    ifd.fPhotometricInterpretation = cfa ? piCFA : piLinearRaw;
    ifd.fCFARepeatPatternRows = cfa ? 2 : 0;
    ifd.fCFARepeatPatternCols = cfa ? 2 : 0;
    ifd.SetSingleStrip();
    ifd.fTileOffsetsCount = 1;
    ifd.fTileOffset[0] = 0;
    ifd.fTileByteCountsCount = 1;
    ifd.fTileByteCount[0] = SafeUint32Mult3(uint32_t(fWidth), uint32_t(fHeight), samples * 2);
    ifd.fDefaultScaleH = dng_urational(1, 1);
    ifd.fDefaultScaleV = dng_urational(1, 1);
    ifd.fBestQualityScale = dng_urational(1, 1);
    ifd.fDefaultCropOriginH = dng_urational(0, 1);
    ifd.fDefaultCropOriginV = dng_urational(0, 1);
    ifd.fDefaultCropSizeH = dng_urational(uint32_t(fWidth), 1);
    ifd.fDefaultCropSizeV = dng_urational(uint32_t(fHeight), 1);
    ifd.fActiveArea = dng_rect(fHeight, fWidth);
}

int32_t DngTiffWriter::BuildNegative(const uint8_t* buffer, uint32_t orientation) {
    if (!buffer) return BuildNegative(RowSource(), orientation);
    const size_t rowBytes = size_t(std::max(fWidth, 0)) * (fCFAPattern != 0 ? 1 : 3) * 2;
    return BuildNegative(
        [buffer, rowBytes](uint32_t first, uint32_t count, uint16_t* rows) {
            std::memcpy(rows, buffer + first * rowBytes, count * rowBytes);
            return true;
        },
        orientation);
}

namespace {

// Rows per band while the image is filled: a few megabytes of scratch per
// worker instead of a copy of the whole image.
constexpr uint32_t kFillBandRows = 64;

// The caller's rows into the stage 1 image, band by band on the pool; the
// samples are stored as they come, so the split does not change them.
void FillImage(dng_image& image, const DngTiffWriter::RowSource& rows, uint32_t samples) {
    const dng_rect bounds = image.Bounds();
    const uint32_t width = bounds.W(), height = bounds.H();
    const uint32_t bands = (height + kFillBandRows - 1) / kFillBandRows;
    std::atomic<bool> failed{false};
    std::atomic<int32_t> code{0};
    platform::apply(bands, platform::DispatchQueue::global(), [&](size_t i) {
        if (failed) return;
        const uint32_t first = uint32_t(i) * kFillBandRows;
        const uint32_t count = std::min(kFillBandRows, height - first);
        try {
            const dng_rect area(bounds.t + int32(first), bounds.l, bounds.t + int32(first + count),
                                bounds.r);
            // Rows laid out as the caller writes them are filled in place.
            dng_dirty_tile_buffer tile(image, area);
            if (tile.fArea == area && tile.fPixelType == ttShort &&
                tile.fColStep == int32(samples) && tile.fPlaneStep == 1 &&
                tile.fRowStep == int32(width * samples)) {
                if (!rows(first, count, static_cast<uint16_t*>(tile.DirtyPixel(area.t, area.l))))
                    failed = true;
                return;
            }
            std::vector<uint16_t> band(size_t(count) * width * samples);
            if (!rows(first, count, band.data())) {
                failed = true;
                return;
            }
            dng_pixel_buffer buffer(area, 0, samples, ttShort, pcInterleaved, band.data());
            image.Put(buffer);
        } catch (...) {
            code = CodeOf(std::current_exception());
            failed = true;
        }
    });
    if (code != 0) ThrowDNGError(dng_error_code(code.load()));
    if (failed) ThrowProgramError("The image's rows could not be read");
}

}  // namespace

int32_t DngTiffWriter::BuildNegative(RowSource rows, uint32_t orientation) {
    try {
        const bool cfa = fCFAPattern != 0;
        if (!rows || fWidth <= 0 || fHeight <= 0) ThrowProgramError("Empty image");
        // A mosaic loses a 2-pixel border on every side.
        if (cfa && (fWidth < 5 || fHeight < 5)) ThrowProgramError("Mosaic too small");

        fHost.SetMinimumSize(0);
        fHost.SetPreferredSize(0);
        fHost.SetMaximumSize(0);
        fHost.ValidateSizes();
        fHost.SetSaveDNGVersion(dngVersion_1_4_0_0);
        fHost.SetSaveLinearDNG(fCFAPattern == 0);

        const uint32_t samples = cfa ? 1 : 3;
        // Checks that the image's byte count fits the file's 32-bit fields.
        (void)SafeUint32Mult3(uint32_t(fWidth), uint32_t(fHeight), samples * 2);

        auto image = std::make_unique<dng_simple_image>(dng_rect(fHeight, fWidth), samples, ttShort,
                                                        fHost.Allocator());
        FillImage(*image, rows, samples);
        rows = nullptr;
        {
            dng_ifd ifd;
            DescribeBuffer(ifd, orientation);

            fNegative = dng_negative::Make(fHost);
            dng_negative& n = *fNegative;
            n.SetDefaultScale(ifd.fDefaultScaleH, ifd.fDefaultScaleV);
            dng_urational originH = ifd.fDefaultCropOriginH, originV = ifd.fDefaultCropOriginV;
            dng_urational sizeH = ifd.fDefaultCropSizeH, sizeV = ifd.fDefaultCropSizeV;
            if (cfa) {
                originH.n += 2;
                originV.n += 2;
                sizeH.n -= 4;
                sizeV.n -= 4;
            }
            n.SetDefaultCropOrigin(originH, originV);
            n.SetDefaultCropSize(sizeH, sizeV);
            n.SetActiveArea(ifd.fActiveArea);
            // This negative is the original: its sizes are its own, which
            // leaves the Original… size tags out of the file.
            n.SetDefaultOriginalSizes();
        }
        dng_negative& n = *fNegative;
        n.SetColorChannels(3);
        if (cfa) {
            n.SetColorKeys(0, 1, 2, 255);
            if (const int phase = BayerPhase(fCFAPattern); phase >= 0) n.SetBayerMosaic(phase);
        }
        for (int32 plane = 0; plane < 3; ++plane) {
            n.SetWhiteLevel(65535, plane);
            n.SetBlackLevel(0.0, plane);
        }
        n.SetBaselineExposure(0.0);
        n.SetBaselineNoise(1.0);
        n.SetBaselineSharpness(1.0);
        n.SetAntiAliasStrength(dng_urational(100, 100));
        n.SetLinearResponseLimit(1.0);
        n.SetShadowScale(dng_urational(1, 1));
        dng_vector balance(3);
        balance[0] = balance[1] = balance[2] = 1.0;
        n.SetAnalogBalance(balance);
        dng_orientation base;
        base.SetTIFF(orientation);
        n.Metadata().SetBaseOrientation(base);
        n.SetColorimetricReference(cfa ? 0 : 1);

        auto profile = std::make_unique<dng_camera_profile>();
        profile->SetName("Quorvex DNG Profile");
        profile->SetColorMatrix1(fColorMatrix);
        profile->SetCalibrationIlluminant1(23);
        profile->ClearFingerprint();
        if (cfa) {
            profile->SetColorMatrix2(fColorMatrix);
            profile->SetCalibrationIlluminant2(21);
            profile->ClearFingerprint();
        }
        n.AddProfile(std::move(profile));
        n.SetCameraWhiteXY(platform::colorimetry::kD50White.x, platform::colorimetry::kD50White.y);

        if (dng_exif* exif = n.Metadata().GetExif()) {
            exif->fMake.SetASCII("Unknown");
            exif->fModel.SetASCII("Generic PCD scanner");
            exif->fSoftware.SetASCII(platform::kProgramNameAndVersion);
            // The EXIF directory requires it (validators flag its absence).
            exif->fFlashPixVersion = 0x30313030;  // "0100"
        }
        n.SetStage1Image(std::move(image));
        return 0;
    } catch (...) {
        return CodeOf(std::current_exception());
    }
}

// ---------------------------------------------------------------- setters

#define PCD_EXIF_TEXT(Setter, field)                                       \
    void DngTiffWriter::Setter(const char* text) {                         \
        if (!fNegative || !fNegative->Metadata().GetExif()) return;        \
        fNegative->Metadata().GetExif()->field.SetASCII(text ? text : ""); \
    }
PCD_EXIF_TEXT(SetMake, fMake)
PCD_EXIF_TEXT(SetModel, fModel)
PCD_EXIF_TEXT(SetSoftware, fSoftware)
PCD_EXIF_TEXT(SetImageDescription, fImageDescription)
PCD_EXIF_TEXT(SetCopyright, fCopyright)
PCD_EXIF_TEXT(SetUserComment, fUserComment)
PCD_EXIF_TEXT(SetCameraSerialNumber, fCameraSerialNumber)
PCD_EXIF_TEXT(SetArtist, fArtist)
#undef PCD_EXIF_TEXT

void DngTiffWriter::SetDateTime(const char* text) {
    if (!fNegative || !fNegative->Metadata().GetExif()) return;
    fNegative->Metadata().GetExif()->fDateTime = ParsedDate(text);
}

void DngTiffWriter::SetDateTimeOriginal(const char* text) {
    if (!fNegative || !fNegative->Metadata().GetExif()) return;
    fNegative->Metadata().GetExif()->fDateTimeOriginal = ParsedDate(text);
}

void DngTiffWriter::SetDateTimeDigitized(const char* text) {
    if (!fNegative || !fNegative->Metadata().GetExif()) return;
    fNegative->Metadata().GetExif()->fDateTimeDigitized = ParsedDate(text);
}

void DngTiffWriter::SetOriginalFileName(const char* name) {
    if (!fNegative) return;
    fNegative->SetOriginalRawFileName(name ? name : "");
    SetImageDescription(name);
}

// ---------------------------------------------------------------- writing

int32_t DngTiffWriter::CompressOriginal(dng_stream& input, dng_host& host,
                                        std::unique_ptr<dng_memory_block>& block) {
    const uint64 length = input.Length();
    if (length >= uint64(kMaxEmbeddedFile) + 1) return dng_error_image_too_big_dng;
    const uint32 L = uint32(length);
    const uint32 N = uint32((uint64(L) + kOriginalBlock - 1) / kOriginalBlock);

    dng_memory_stream out(host.Allocator(), nullptr, 65536);
    out.SetBigEndian(true);
    out.PutUInt32(L);
    const uint64 dataStart = 8 + 4 * uint64(N);
    out.PutUInt32(uint32(dataStart));
    out.WriteZeros(4 * uint64(N));  // end offsets, filled in below

    std::vector<uint8_t> in(kOriginalBlock), packed(2 * kOriginalBlock);
    std::vector<uint32> ends(N);
    uint64 position = 0, offset = dataStart;
    input.SetReadPosition(0);
    for (uint32 k = 0; k < N; ++k) {
        const uint32 count = uint32(std::min<uint64>(kOriginalBlock, L - position));
        input.ReadBytes(in.data(), count);
        position += count;
        z_stream z{};
        if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) return dng_error_memory;
        z.next_in = in.data();
        z.avail_in = count;
        z.next_out = packed.data();
        z.avail_out = uInt(packed.size());
        const int status = deflate(&z, Z_FINISH);
        const uint32 produced = uint32(packed.size() - z.avail_out);
        deflateEnd(&z);
        if (status != Z_STREAM_END) return dng_error_unknown;
        out.WriteBytes(packed.data(), produced);
        offset += produced;
        if (offset > 0xFFFFFFFFu) return dng_error_image_too_big_dng;
        ends[k] = uint32(offset);
    }
    for (int i = 0; i < 7; ++i) out.PutUInt32(0);
    out.SetWritePosition(8);
    for (uint32 e : ends) out.PutUInt32(e);
    out.Flush();

    const uint64 total = out.Length();
    if (total > 0xFFFFFFFFu) return dng_error_image_too_big_dng;
    block = host.Allocate(uint32(total));
    out.SetReadPosition(0);
    out.ReadBytes(block->Buffer(), uint32(total));
    return 0;
}

int32_t DngTiffWriter::writeFile(const char* fileName, const char* embedFileName,
                                 const char* type) {
    fWriteFailure.clear();
    const bool dng = ContainsNoCase(type, "dng");
    const bool tiff = !dng && ContainsNoCase(type, "tif");
    if (!dng && !tiff) return dng_error_unknown;  // nothing is created
    if (!fNegative || !fileName) return dng_error_unknown;
    try {
        dng_negative& n = *fNegative;
        const dng_exif* exif = n.Metadata().GetExif();
        // A name the source gave for profiles to match stays.
        const std::string model =
            n.ModelName().NotEmpty()
                ? std::string(n.ModelName().Get())
                : (exif ? UniqueModel(exif->fMake.Get(), exif->fModel.Get()) : std::string(" "));
        n.SetModelName(model.c_str());
        n.SetLocalName(model.c_str());

        n.ValidateRawImageDigest(fHost);
        // A TIFF holds the rendering only: no copy of the raw data is kept.
        if (tiff) fHost.SetSaveDNGVersion(0);
        n.Metadata().SynchronizeMetadata();
        n.BuildStage2Image(fHost);
        n.BuildStage3Image(fHost, -1);

        // The classic raw digest is one serial pass over the image: it runs
        // beside the preview's render, the unique ID's tiled digest and the
        // encoding of the raw data, and is complete before the directories.
        if (dng) n.StartRawImageDigest(fHost);

        dng_preview_list previews;
        dng_date_time_info now;
        CurrentDateTimeAndZone(now);
        std::unique_ptr<dng_image> previewImage;
        // Only a DNG carries a preview.
        if (dng) {
            dng_render render(fHost, n);
            render.SetFinalSpace(n.IsMonochrome() ? dng_space_GrayGamma22::Get()
                                                  : dng_space_sRGB::Get());
            render.SetFinalPixelType(ttByte);
            render.SetMaximumSize(256);
            previewImage = render.Render();
            n.FindRawDataUniqueID(fHost);
        }
        if (n.RawJPEGImage()) ThrowProgramError("Lossy JPEG previews are not written");
        if (previewImage) {
            auto preview = std::make_unique<dng_image_preview>();
            const char* software = exif ? exif->fSoftware.Get() : "";
            preview->fInfo.fApplicationName.Set(software && *software ? software : "Quorvex");
            preview->fInfo.fApplicationVersion.Set("1.0");
            preview->fInfo.fSettingsName.Set("Default");
            preview->fInfo.fColorSpace = previewImage->Planes() == 1 ? 1 : 2;
            preview->fInfo.fDateTime = now.EncodeISO8601();
            preview->fImage = std::move(previewImage);
            std::unique_ptr<dng_preview> asPreview = std::move(preview);
            previews.Append(asPreview);
        }

        if (embedFileName) {
            std::unique_ptr<dng_memory_block> block;
            {
                dng_file_stream input(embedFileName, false, 8192);
                if (const int32_t code = CompressOriginal(input, fHost, block)) return code;
            }
            dng_md5_printer printer;
            printer.Process(block->Buffer(), block->LogicalSize());
            n.SetOriginalRawFileDigest(printer.Result());
            n.SetOriginalRawFileData(std::move(block));
            n.ValidateOriginalRawFileDigest();
        }

        dng_file_stream stream(fileName, true, 8192);
        dng_image_writer writer;
        if (dng) {
            StateWhiteForFile(n, fCFAPattern == 0);
            writer.WriteDNGForNegative(fHost, stream, n, &previews, 7, false);
        } else {
            dng_render render(fHost, n);
            render.SetFinalSpace(dng_space_ProPhoto::Get());
            render.SetFinalPixelType(ttShort);
            if (fHost.MinimumSize() != 0) {
                const dng_rect& b = n.Stage3Image()->Bounds();
                render.SetMaximumSize(std::max(b.H(), b.W()));
            }
            std::unique_ptr<dng_image> image = render.Render();
            image->Rotate(n.ComputeOrientation(n.Metadata()));
            if (dng_xmp* xmp = n.Metadata().GetXMP()) {
                xmp->RemoveProperties(XMP_NS_RAW_SETTINGS);
                xmp->RemoveProperties(XMP_NS_RAW_SAVED_SETTINGS);
            }
            // TIFF 6.0 requires a resolution.
            dng_resolution_info resolution;
            resolution.fXResolution = dng_urational(72, 1);
            resolution.fYResolution = dng_urational(72, 1);
            resolution.fResolutionUnit = 2;
            writer.WriteTIFFWithSpaceForNegative(
                fHost, stream, *image, image->Planes() >= 3 ? piRGB : piBlackIsZero, ccUncompressed,
                &n, &dng_space_ProPhoto::Get(), &resolution, nullptr, nullptr, kMetadataSubset_All,
                false);
        }
        stream.Flush();
        return 0;
    } catch (const dng_exception& e) {
        if (e.ErrorCode() == dng_error_write_file && e.Message()[0]) fWriteFailure = e.Message();
        return e.ErrorCode();
    } catch (...) {
        return CodeOf(std::current_exception());
    }
}

const char* DngTiffWriter::errorStringForCode(int32_t code) {
    switch (code) {
        case 0:
            return "No error. Success.";
        case 100001:
            return "Functionality requested is not yet implemented.";
        case 100002:
            return "An error which should not be signalled to user.";
        case 100003:
            return "Processing stopped by user (or host application) request.";
        case 100004:
            return "Necessary host functionality is not present.";
        case 100005:
            return "Out of memory.";
        case 100006:
            return "File format is not valid.";
        case 100007:
            return "Matrix has wrong shape, is badly conditioned, or similar problem.";
        case 100008:
            return "Could not open file.";
        case 100009:
            return "Error reading file.";
        case 100010:
            return "Error writing file.";
        case 100011:
            return "Unexpected end of file.";
        case 100012:
            return "File is damaged in some way.";
        case 100013:
            return "Image is too big to save as DNG.";
        case 100014:
            return "Image is too big to save as TIFF.";
        default:
            return "Logic or program error or other unclassifiable error.";
    }
}

void DngTiffWriter::SetEXIFProperty(int index, const char* text, int32_t intValue,
                                    double realValue) {
    if (!fNegative) return;
    if (dng_exif* exif = fNegative->Metadata().GetExif())
        ImagePropertyImport::setExifProperty(*exif, index, text, intValue, realValue);
}
