#include "dng/image/dng_negative.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_read_image.h"
#include "platform/Dispatch.h"

namespace {

// Compressions no decoder of this system reads.
constexpr uint32 kCompressionJPEGXL = 52546;

// Round: + 0.5, clamped at 0, truncated.
uint32 RoundUp(real64 x) {
    const real64 y = x + 0.5;
    if (!(y > 0.0)) return 0;
    if (y >= 4294967295.0) return 0xFFFFFFFF;
    return uint32(y);
}

// Round half away from zero.
real64 RoundHalfAway(real64 x) { return x < 0.0 ? std::trunc(x - 0.5) : std::trunc(x + 0.5); }

int32 RoundHalfAwayInt(real64 x) {
    return int32(std::clamp(RoundHalfAway(x), -2147483648.0, 2147483647.0));
}

uint32 PixelTypeFor(const dng_ifd& ifd) {
    const uint32 bits = ifd.fBitsPerSample[0];
    if (ifd.fSampleFormat[0] == sfFloatingPoint) return ttFloat;
    if (bits <= 8) return ttByte;
    if (bits <= 16) return ttShort;
    return ttLong;
}

std::unique_ptr<dng_memory_block> ReadBlock(dng_host& host, dng_stream& stream, uint64 offset,
                                            uint32 count) {
    const uint64 length = stream.Length();
    if (offset > length || count > length - offset)
        ThrowBadFormat("block beyond the end of the file");
    std::unique_ptr<dng_memory_block> block = host.Allocate(count);
    stream.SetReadPosition(offset);
    stream.ReadBytes(block->Buffer(), count);
    return block;
}

}  // namespace

std::unique_ptr<dng_negative> dng_negative::Make(dng_host& host) {
    std::unique_ptr<dng_negative> negative(new dng_negative(host));
    negative->Initialize();
    return negative;
}

dng_negative::dng_negative(dng_host& host)
    : fAllocator(host.Allocator()), fMetadata(std::make_unique<dng_metadata>(host)) {}

dng_negative::~dng_negative() { JoinRawImageDigest(); }

// ---- crop and scale ------------------------------------------------------

void dng_negative::SetDefaultUserCrop(const dng_urational& t, const dng_urational& l,
                                      const dng_urational& b, const dng_urational& r) {
    fDefaultUserCropT = t;
    fDefaultUserCropL = l;
    fDefaultUserCropB = b;
    fDefaultUserCropR = r;
}

real64 dng_negative::SquareHeight() const {
    const real64 scaleH = fDefaultScaleH.AsReal64();
    if (scaleH == 0.0) return fDefaultCropSizeV.AsReal64();
    return fDefaultCropSizeV.AsReal64() * fDefaultScaleV.AsReal64() / scaleH;
}

uint32 dng_negative::FullQualityHeight() const {
    return RoundUp(SquareHeight() * fDefaultScaleH.AsReal64() * fBestQualityScale.AsReal64());
}

uint32 dng_negative::FullQualityWidth() const {
    return RoundUp(fDefaultCropSizeH.AsReal64() * fDefaultScaleH.AsReal64() *
                   fBestQualityScale.AsReal64());
}

bool dng_negative::HasUserCrop() const {
    return fDefaultUserCropT.AsReal64() != 0.0 || fDefaultUserCropL.AsReal64() != 0.0 ||
           fDefaultUserCropB.AsReal64() != 1.0 || fDefaultUserCropR.AsReal64() != 1.0;
}

dng_rect dng_negative::DefaultCropArea() const {
    const int32 left = RoundHalfAwayInt(fDefaultCropOriginH.AsReal64() * fRawToFullScaleH);
    const int32 top = RoundHalfAwayInt(fDefaultCropOriginV.AsReal64() * fRawToFullScaleV);
    const int32 width = RoundHalfAwayInt(fDefaultCropSizeH.AsReal64() * fRawToFullScaleH);
    const int32 height = RoundHalfAwayInt(fDefaultCropSizeV.AsReal64() * fRawToFullScaleV);
    dng_rect area(top, left, SafeInt32Add(top, height), SafeInt32Add(left, width));
    if (fStage3Image) {
        // A crop that runs past the image keeps its size and moves inside.
        const dng_rect& bounds = fStage3Image->Bounds();
        if (area.r > bounds.r) {
            area.l -= area.r - bounds.r;
            area.r = bounds.r;
        }
        if (area.b > bounds.b) {
            area.t -= area.b - bounds.b;
            area.b = bounds.b;
        }
    }
    return area;
}

void dng_negative::SetOriginalSizes(const dng_point& size) {
    fOriginalDefaultFinalSize = size;
    fOriginalBestQualityFinalSize = size;
    fOriginalDefaultCropSizeH = dng_urational(uint32(std::max(size.h, 0)), 1);
    fOriginalDefaultCropSizeV = dng_urational(uint32(std::max(size.v, 0)), 1);
}

void dng_negative::SetDefaultOriginalSizes() {
    if (fOriginalDefaultFinalSize == dng_point(0, 0)) {
        fOriginalDefaultFinalSize = dng_point(
            int32(
                std::min<uint32>(RoundUp(SquareHeight() * fDefaultScaleH.AsReal64()), 0x7FFFFFFF)),
            int32(std::min<uint32>(
                RoundUp(fDefaultCropSizeH.AsReal64() * fDefaultScaleH.AsReal64()), 0x7FFFFFFF)));
    }
    if (fOriginalBestQualityFinalSize == dng_point(0, 0)) {
        fOriginalBestQualityFinalSize =
            dng_point(int32(std::min<uint32>(FullQualityHeight(), 0x7FFFFFFF)),
                      int32(std::min<uint32>(FullQualityWidth(), 0x7FFFFFFF)));
    }
    if (fOriginalDefaultCropSizeH.d == 0 || fOriginalDefaultCropSizeV.d == 0) {
        fOriginalDefaultCropSizeH = fDefaultCropSizeH;
        fOriginalDefaultCropSizeV = fDefaultCropSizeV;
    }
}

bool dng_negative::OriginalCropSizeDiffers() const {
    return fDefaultCropSizeH != fOriginalDefaultCropSizeH &&
           fDefaultCropSizeV != fOriginalDefaultCropSizeV;
}

// ---- rendering hints -----------------------------------------------------

void dng_negative::EnsureOriginalNoiseProfile() {
    const uint32 n = fOriginalNoiseProfile.NumFunctions();
    if ((n != 1 && n != fColorChannels) || !fOriginalNoiseProfile.IsValid())
        fOriginalNoiseProfile = fNoiseProfile;
}

void dng_negative::SetShadowScale(const dng_urational& scale) {
    if (scale.d == 0) return;
    const real64 s = scale.AsReal64();
    if (s > 0.0 && s <= 1.0) fShadowScale = scale;
}

real64 dng_negative::TotalBaselineExposure(const dng_camera_profile_id& id) const {
    real64 total = BaselineExposure();
    if (const dng_camera_profile* profile = ProfileByID(id, true))
        total += profile->BaselineExposureOffset().AsReal64();
    return total;
}

// ---- colour --------------------------------------------------------------

void dng_negative::SetAnalogBalance(const dng_vector& balance) {
    const real64 smallest = balance.NotEmpty() ? balance.MinEntry() : 0.0;
    if (smallest > 0.0) {
        fAnalogBalance = balance;
        fAnalogBalance.Scale(1.0 / smallest);
        fAnalogBalance.Round(1000000.0);
    } else {
        fAnalogBalance.Clear();
    }
}

real64 dng_negative::AnalogBalance(uint32 channel) const {
    return channel < fAnalogBalance.Count() ? fAnalogBalance[channel] : 1.0;
}

dng_urational dng_negative::AnalogBalanceR(uint32 channel) const {
    dng_urational r;
    r.SetReal64(AnalogBalance(channel), 1000000);
    return r;
}

void dng_negative::SetCameraNeutral(const dng_vector& neutral) {
    const real64 largest = neutral.NotEmpty() ? neutral.MaxEntry() : 0.0;
    if (largest > 0.0) {
        fCameraNeutral = neutral;
        fCameraNeutral.Scale(1.0 / largest);
        fCameraNeutral.Round(1000000.0);
    } else {
        fCameraNeutral.Clear();
    }
}

dng_urational dng_negative::CameraNeutralR(uint32 channel) const {
    dng_urational r;
    r.SetReal64(channel < fCameraNeutral.Count() ? fCameraNeutral[channel] : 0.0, 1000000);
    return r;
}

void dng_negative::SetCameraWhiteXY(real64 x, real64 y) {
    if (x > 0.0 && y > 0.0) {
        fCameraWhiteX = RoundHalfAway(x * 1000000.0) / 1000000.0;
        fCameraWhiteY = RoundHalfAway(y * 1000000.0) / 1000000.0;
    } else {
        fCameraWhiteX = fCameraWhiteY = 0.0;
    }
}

void dng_negative::GetCameraWhiteXY(dng_urational& x, dng_urational& y) const {
    x.SetReal64(fCameraWhiteX, 1000000);
    y.SetReal64(fCameraWhiteY, 1000000);
}

void dng_negative::SetCameraCalibration1(const dng_matrix& m) {
    fCameraCalibration1 = m;
    fCameraCalibration1.Round(10000.0);
}

void dng_negative::SetCameraCalibration2(const dng_matrix& m) {
    fCameraCalibration2 = m;
    fCameraCalibration2.Round(10000.0);
}

// ---- camera profiles -----------------------------------------------------

void dng_negative::AddProfile(std::unique_ptr<dng_camera_profile> profile) {
    if (!profile) return;
    if (profile->Name().IsEmpty()) {
        profile->SetName("Embedded");
        profile->ClearFingerprint();
    }

    auto replace = [&](size_t index) {
        const dng_camera_profile& old = *fCameraProfiles[index];
        if (old.WasReadFromDNG()) profile->SetWasReadFromDNG(true);
        if (!old.WasReadFromDisk()) profile->SetWasReadFromDisk(false);
        fCameraProfiles.erase(fCameraProfiles.begin() + ptrdiff_t(index));
    };

    if (!fCameraProfiles.empty() && fCameraProfiles[0]->Name() == dng_string("Embedded") &&
        fCameraProfiles[0]->EqualData(*profile)) {
        replace(0);
    } else {
        for (size_t i = 0; i < fCameraProfiles.size(); i++) {
            if (fCameraProfiles[i]->EqualData(*profile) &&
                fCameraProfiles[i]->Name() == profile->Name()) {
                replace(i);
                break;
            }
        }
    }
    fCameraProfiles.push_back(std::move(profile));
}

void dng_negative::ClearProfiles(bool builtInMatrixProfiles, bool readFromDisk) {
    if (!builtInMatrixProfiles && !readFromDisk) return;
    std::erase_if(fCameraProfiles, [&](const std::unique_ptr<dng_camera_profile>& p) {
        return (builtInMatrixProfiles && p->WasBuiltinMatrix()) ||
               (readFromDisk && p->WasReadFromDisk());
    });
}

void dng_negative::DeleteAllProfiles() { fCameraProfiles.clear(); }

const dng_camera_profile* dng_negative::ProfileByID(const dng_camera_profile_id& id,
                                                    bool useDefaultIfNoMatch) const {
    if (fCameraProfiles.empty()) return nullptr;
    const bool haveName = id.Name().NotEmpty();
    const bool haveFingerprint = id.Fingerprint().IsValid();

    if (haveName && haveFingerprint) {
        for (const auto& p : fCameraProfiles)
            if (p->Name() == id.Name() && p->Fingerprint() == id.Fingerprint()) return p.get();
    }
    if (haveName) {
        for (const auto& p : fCameraProfiles)
            if (p->Name() == id.Name()) return p.get();
    }
    if (haveFingerprint) {
        for (const auto& p : fCameraProfiles)
            if (p->Fingerprint() == id.Fingerprint()) return p.get();
    }
    if (!haveName) return useDefaultIfNoMatch ? fCameraProfiles[0].get() : nullptr;

    dng_string baseName;
    int32 version = 0;
    dng_camera_profile::SplitCameraProfileName(id.Name(), baseName, version);
    const dng_camera_profile* best = nullptr;
    int32 bestVersion = 0;
    for (const auto& p : fCameraProfiles) {
        if (!p->Name().StartsWith(baseName.Get(), false)) continue;
        dng_string pBase;
        int32 pVersion = 0;
        dng_camera_profile::SplitCameraProfileName(p->Name(), pBase, pVersion);
        if (!best || pVersion > bestVersion) {
            best = p.get();
            bestVersion = pVersion;
        }
    }
    if (best) return best;
    return useDefaultIfNoMatch ? fCameraProfiles[0].get() : nullptr;
}

const dng_camera_profile* dng_negative::ComputeCameraProfileToEmbed(const dng_metadata&) const {
    if (fCameraProfiles.empty()) return nullptr;
    for (const auto& p : fCameraProfiles)
        if (p->WasReadFromDNG()) return p.get();
    for (const auto& p : fCameraProfiles)
        if (p->EmbedPolicy() != 2) return p.get();
    return fCameraProfiles[0].get();
}

std::unique_ptr<dng_color_spec> dng_negative::MakeColorSpec(const dng_camera_profile_id& id) const {
    return std::make_unique<dng_color_spec>(*this, ProfileByID(id, true));
}

// ---- digests -------------------------------------------------------------

dng_fingerprint dng_negative::RawDataUniqueID() const {
    std::lock_guard<std::mutex> lock(fRawDataUniqueIDLock);
    if (fRawDataUniqueID.IsValid() && fUniqueIDQualifier.NotEmpty()) {
        dng_md5_printer printer;
        printer.Process(fRawDataUniqueID.data, dng_fingerprint::kDNGFingerprintSize);
        printer.Process(fUniqueIDQualifier.Get(), fUniqueIDQualifier.Length());
        return printer.Result();
    }
    return fRawDataUniqueID;
}

void dng_negative::SetRawDataUniqueID(const dng_fingerprint& id) {
    std::lock_guard<std::mutex> lock(fRawDataUniqueIDLock);
    fRawDataUniqueID = id;
}

void dng_negative::FindOriginalRawFileDigest() {
    if (fOriginalRawFileDigest.IsValid() || !fOriginalRawFileData) return;
    dng_md5_printer printer;
    printer.Process(fOriginalRawFileData->Buffer(), fOriginalRawFileData->LogicalSize());
    fOriginalRawFileDigest = printer.Result();
}

void dng_negative::ValidateOriginalRawFileDigest() {
    if (!fOriginalRawFileDigest.IsValid() || !fOriginalRawFileData) return;
    const dng_fingerprint stored = fOriginalRawFileDigest;
    fOriginalRawFileDigest.Clear();
    try {
        FindOriginalRawFileDigest();
    } catch (...) {
        fOriginalRawFileDigest = stored;
        throw;
    }
    if (fOriginalRawFileDigest != stored) {
        fIsDamaged = true;
        fOriginalRawFileDigest = stored;
    }
}

// ---- metadata ------------------------------------------------------------

std::unique_ptr<dng_metadata> dng_negative::CloneInternalMetadata() const {
    return fMetadata->Clone(fAllocator);
}

dng_orientation dng_negative::ComputeOrientation(const dng_metadata& metadata) const {
    return metadata.BaseOrientation();
}

// ---- linearization -------------------------------------------------------

std::unique_ptr<dng_linearization_info> dng_negative::MakeLinearizationInfo() {
    return std::make_unique<dng_linearization_info>();
}

void dng_negative::NeedLinearizationInfo() {
    if (!fLinearizationInfo) fLinearizationInfo = MakeLinearizationInfo();
}

void dng_negative::ClearLinearizationInfo() { fLinearizationInfo.reset(); }

void dng_negative::SetActiveArea(const dng_rect& area) {
    NeedLinearizationInfo();
    fLinearizationInfo->fActiveArea = area;
}

void dng_negative::SetMaskedAreas(uint32 count, const dng_rect* areas) {
    NeedLinearizationInfo();
    count = std::min<uint32>(count, 4);
    fLinearizationInfo->fMaskedAreaCount = count;
    for (uint32 i = 0; i < count; i++) fLinearizationInfo->fMaskedArea[i] = areas[i];
}

void dng_negative::SetLinearization(std::unique_ptr<dng_memory_block> table) {
    NeedLinearizationInfo();
    fLinearizationInfo->fLinearizationTable = std::move(table);
}

void dng_negative::SetBlackLevel(real64 black, int32 plane) {
    NeedLinearizationInfo();
    dng_linearization_info& info = *fLinearizationInfo;
    info.fBlackLevelRepeatRows = 1;
    info.fBlackLevelRepeatCols = 1;
    for (uint32 p = 0; p < dng_linearization_info::kMaxPlanes; p++)
        if (plane < 0 || uint32(plane) == p) info.fBlackLevel[0][0][p] = black;
    info.RoundBlacks();
}

void dng_negative::SetQuadBlacks(real64 b00, real64 b01, real64 b10, real64 b11, int32 plane) {
    NeedLinearizationInfo();
    dng_linearization_info& info = *fLinearizationInfo;
    info.fBlackLevelRepeatRows = 2;
    info.fBlackLevelRepeatCols = 2;
    for (uint32 p = 0; p < dng_linearization_info::kMaxPlanes; p++) {
        if (plane >= 0 && uint32(plane) != p) continue;
        info.fBlackLevel[0][0][p] = b00;
        info.fBlackLevel[0][1][p] = b01;
        info.fBlackLevel[1][0][p] = b10;
        info.fBlackLevel[1][1][p] = b11;
    }
    info.RoundBlacks();
}

void dng_negative::SetBlackLevel6x6(const real64* blacks, int32 plane) {
    NeedLinearizationInfo();
    dng_linearization_info& info = *fLinearizationInfo;
    info.fBlackLevelRepeatRows = 6;
    info.fBlackLevelRepeatCols = 6;
    for (uint32 p = 0; p < dng_linearization_info::kMaxPlanes; p++) {
        if (plane >= 0 && uint32(plane) != p) continue;
        for (uint32 r = 0; r < 6; r++)
            for (uint32 c = 0; c < 6; c++) info.fBlackLevel[r][c][p] = blacks[r * 6 + c];
    }
    info.RoundBlacks();
}

static std::unique_ptr<dng_memory_block> CopyReals(dng_memory_allocator& allocator,
                                                   const real64* values, uint32 count) {
    if (count == 0) return nullptr;
    std::unique_ptr<dng_memory_block> block = allocator.Allocate(SafeUint32Mult(count, 8));
    std::memcpy(block->Buffer(), values, size_t(count) * 8);
    return block;
}

void dng_negative::SetRowBlacks(const real64* blacks, uint32 count) {
    NeedLinearizationInfo();
    fLinearizationInfo->fBlackDeltaV = CopyReals(fAllocator, blacks, count);
    fLinearizationInfo->RoundBlacks();
}

void dng_negative::SetColumnBlacks(const real64* blacks, uint32 count) {
    NeedLinearizationInfo();
    fLinearizationInfo->fBlackDeltaH = CopyReals(fAllocator, blacks, count);
    fLinearizationInfo->RoundBlacks();
}

void dng_negative::SetWhiteLevel(uint32 white, int32 plane) {
    NeedLinearizationInfo();
    for (uint32 p = 0; p < dng_linearization_info::kMaxPlanes; p++)
        if (plane < 0 || uint32(plane) == p) fLinearizationInfo->fWhiteLevel[p] = real64(white);
}

uint32 dng_negative::WhiteLevel(uint32 plane) const {
    if (!fLinearizationInfo) {
        const dng_image* raw = fRawImage ? fRawImage.get() : fStage1Image.get();
        return raw && raw->PixelType() == ttFloat ? 1 : 65535;
    }
    plane = std::min<uint32>(plane, dng_linearization_info::kMaxPlanes - 1);
    return RoundUp(fLinearizationInfo->fWhiteLevel[plane]);
}

// ---- mosaic --------------------------------------------------------------

std::unique_ptr<dng_mosaic_info> dng_negative::MakeMosaicInfo() {
    return std::make_unique<dng_mosaic_info>();
}

void dng_negative::NeedMosaicInfo() {
    if (!fMosaicInfo) fMosaicInfo = MakeMosaicInfo();
}

void dng_negative::ClearMosaicInfo() { fMosaicInfo.reset(); }

void dng_negative::SetColorKeys(uint8 c0, uint8 c1, uint8 c2, uint8 c3) {
    NeedMosaicInfo();
    fMosaicInfo->fCFAPlaneColor[0] = c0;
    fMosaicInfo->fCFAPlaneColor[1] = c1;
    fMosaicInfo->fCFAPlaneColor[2] = c2;
    fMosaicInfo->fCFAPlaneColor[3] = c3;
}

void dng_negative::SetBayerMosaic(uint32 phase) {
    NeedMosaicInfo();
    dng_mosaic_info& m = *fMosaicInfo;
    const uint8 c0 = m.fCFAPlaneColor[0];
    const uint8 c1 = m.fCFAPlaneColor[1];
    const uint8 c2 = m.fCFAPlaneColor[2];
    m.fCFAPatternSize = dng_point(2, 2);
    const uint8 patterns[4][4] = {
        {c1, c0, c2, c1}, {c0, c1, c1, c2}, {c2, c1, c1, c0}, {c1, c2, c0, c1}};
    if (phase < 4) {
        m.fCFAPattern[0][0] = patterns[phase][0];
        m.fCFAPattern[0][1] = patterns[phase][1];
        m.fCFAPattern[1][0] = patterns[phase][2];
        m.fCFAPattern[1][1] = patterns[phase][3];
    }
    m.fColorPlanes = 3;
    m.fCFALayout = 1;
}

void dng_negative::SetFujiMosaic(uint32 phase) {
    NeedMosaicInfo();
    dng_mosaic_info& m = *fMosaicInfo;
    const uint8 c0 = m.fCFAPlaneColor[0];
    const uint8 c1 = m.fCFAPlaneColor[1];
    const uint8 c2 = m.fCFAPlaneColor[2];
    m.fCFAPatternSize = dng_point(2, 4);
    if (phase < 2) {
        const uint8 a = phase == 0 ? c0 : c2;
        const uint8 b = phase == 0 ? c2 : c0;
        const uint8 rows[2][4] = {{a, c1, b, c1}, {b, c1, a, c1}};
        for (uint32 r = 0; r < 2; r++)
            for (uint32 c = 0; c < 4; c++) m.fCFAPattern[r][c] = rows[r][c];
    }
    m.fColorPlanes = 3;
    m.fCFALayout = 2;
}

void dng_negative::SetFujiMosaic6x6(uint32 phase) {
    if (phase >= 36) ThrowProgramError("Bad phase in SetFujiMosaic6x6.");
    NeedMosaicInfo();
    dng_mosaic_info& m = *fMosaicInfo;
    const uint8 c0 = m.fCFAPlaneColor[0];
    const uint8 c1 = m.fCFAPlaneColor[1];
    const uint8 c2 = m.fCFAPlaneColor[2];
    const uint8 base[6][6] = {{c1, c2, c1, c1, c0, c1}, {c0, c1, c0, c2, c1, c2},
                              {c1, c2, c1, c1, c0, c1}, {c1, c0, c1, c1, c2, c1},
                              {c2, c1, c2, c0, c1, c0}, {c1, c0, c1, c1, c2, c1}};
    m.fCFAPatternSize = dng_point(6, 6);
    for (uint32 r = 0; r < 6; r++)
        for (uint32 c = 0; c < 6; c++)
            m.fCFAPattern[r][c] = base[(r + phase / 6) % 6][(c + phase % 6) % 6];
    m.fColorPlanes = 3;
    m.fCFALayout = 1;
}

void dng_negative::SetQuadMosaic(uint32 pattern) {
    NeedMosaicInfo();
    dng_mosaic_info& m = *fMosaicInfo;
    if ((pattern >> 16) != (pattern & 0xFFFF))
        m.fCFAPatternSize = dng_point(8, 2);
    else if ((pattern >> 8 & 0xFF) != (pattern & 0xFF))
        m.fCFAPatternSize = dng_point(4, 2);
    else
        m.fCFAPatternSize = dng_point(2, 2);
    for (int32 r = 0; r < m.fCFAPatternSize.v; r++)
        for (int32 c = 0; c < 2; c++) {
            const uint32 index = (pattern >> ((2 * (2 * r + c)) % 32)) & 3;
            m.fCFAPattern[r][c] = m.fCFAPlaneColor[index];
        }
    m.fColorPlanes = 4;
    m.fCFALayout = 1;
}

void dng_negative::SetGreenSplit(uint32 split) {
    NeedMosaicInfo();
    fMosaicInfo->fBayerGreenSplit = split;
}

bool dng_negative::SetFourColorBayer() {
    if (fColorChannels != 3 || !fMosaicInfo || !fMosaicInfo->SetFourColorBayer()) return false;
    fColorChannels = 4;
    if (fCameraNeutral.Count() == 3) {
        dng_vector n(4);
        for (uint32 i = 0; i < 3; i++) n[i] = fCameraNeutral[i];
        n[3] = fCameraNeutral[1];
        fCameraNeutral = n;
    }
    fCameraCalibration1.Clear();
    fCameraCalibration2.Clear();
    fCameraCalibrationSignature.Clear();
    for (auto& p : fCameraProfiles) p->SetFourColorBayer();
    return true;
}

// ---- images --------------------------------------------------------------

void dng_negative::SetStage1Image(std::unique_ptr<dng_image> image) {
    fStage1Image = std::move(image);
}

void dng_negative::SetStage2Image(std::unique_ptr<dng_image> image) {
    fStage2Image = std::move(image);
}

void dng_negative::SetStage3Image(std::unique_ptr<dng_image> image) {
    fStage3Image = std::move(image);
    fFloatingPoint = fStage3Image && fStage3Image->PixelType() == ttFloat;
}

std::unique_ptr<dng_image> dng_negative::TakeStage3Image() { return std::move(fStage3Image); }

const dng_image& dng_negative::RawImage() const {
    if (fRawImage) return *fRawImage;
    if (fStage1Image) return *fStage1Image;
    if (fStage3Image) return *fStage3Image;
    ThrowProgramError("dng_negative::RawImage with no raw image");
}

uint16 dng_negative::RawImageBlackLevel() const {
    if (fStage1Image && !fRawImage) return 0;
    return fRawImage ? fRawImageBlackLevel : fStage3BlackLevel;
}

void dng_negative::SetTransparencyMask(std::unique_ptr<dng_image> mask, uint32 bitDepth) {
    fTransparencyMask = std::move(mask);
    fRawTransparencyMaskBitDepth = bitDepth;
}

void dng_negative::SetAuxiliaryImage(std::unique_ptr<dng_image> image) {
    fAuxiliaryImage = std::move(image);
    fHasAuxiliaryImage = fAuxiliaryImage != nullptr;
}

bool dng_negative::Stage2KeepsBlackLevel(dng_host&, const dng_image&, const dng_image&) const {
    return false;
}

// ---- stage building ------------------------------------------------------

void dng_negative::ClearRawDerivedDigests() {
    JoinRawImageDigest();
    fRawDigestError = nullptr;
    fRawImageDigest.Clear();
    fNewRawImageDigest.Clear();
    fRawJPEGImage.reset();
    fRawJPEGImageDigest.Clear();
    fRawFloatBitDepth = 0;
}

void dng_negative::TakeRawCopies(bool fromStage1) {
    JoinRawImageDigest();
    const dng_image* source = fromStage1 ? fStage1Image.get() : nullptr;
    if (source) fRawImage = source->Clone();
    if (fTransparencyMask) fRawTransparencyMask = fTransparencyMask->Clone();
    if (fAuxiliaryImage) fRawAuxiliaryImage = fAuxiliaryImage->Clone();
}

void dng_negative::BuildStage2Image(dng_host& host) {
    JoinRawImageDigest();
    if (!fStage1Image) ThrowProgramError("no stage 1 image");
    const uint32 version = host.SaveDNGVersion();
    if (version != 0) {
        uint32 stage = kRawImageStagePostOpcode3;
        if (fTransparencyMask && version < 0x01040000) {
            stage = kRawImageStagePostOpcode3;
        } else if (fOpcodeList3.MinVersion(false) > version || fOpcodeList3.AlwaysApply()) {
            stage = kRawImageStagePostOpcode3;
        } else if (host.PreferredSize() != 0) {
            stage = kRawImageStagePostOpcode3;
        } else if (!host.SaveLinearDNG()) {
            if (fOpcodeList2.MinVersion(false) > version || fOpcodeList2.AlwaysApply())
                stage = kRawImageStagePostOpcode2;
            else if (fOpcodeList1.MinVersion(false) <= version && !fOpcodeList1.AlwaysApply())
                stage = kRawImageStagePreOpcode1;
            else
                stage = kRawImageStagePostOpcode1;
        } else {
            stage = fOpcodeList3.MinVersion(true) <= version ? kRawImageStagePreOpcode3
                                                             : kRawImageStagePostOpcode3;
        }
        if (fStage1Image->PixelType() == ttFloat && stage < 2 && version < 0x01040000) stage = 2;
        if (host.SizeOverrideFlag() && stage >= 1) host.ClearSizeOverride();
        fRawImageStage = stage;
    }

    if (fRawImageStage != kRawImageStagePreOpcode1) {
        ClearRawDerivedDigests();
    } else {
        TakeRawCopies(true);
    }

    std::unique_ptr<dng_image> stage1 = std::move(fStage1Image);
    host.ApplyOpcodeList(fOpcodeList1, *this, stage1);
    fStage1Image = std::move(stage1);

    if (fRawImageStage > 0) fOpcodeList1.Clear();
    if (fRawImageStage == kRawImageStagePostOpcode1) TakeRawCopies(true);

    NeedLinearizationInfo();
    fLinearizationInfo->FixActiveArea(fStage1Image->Bounds());

    DoBuildStage2(host);
    fStage1Image.reset();
    if (fRawImageStage >= 2) fLinearizationInfo.reset();

    host.ApplyOpcodeList(fOpcodeList2, *this, fStage2Image);
    if (fRawImageStage >= 2) fOpcodeList2.Clear();

    DoPostOpcodeList2(host);
    if (NeedDefloatStage2(host)) DefloatStage2(host);

    if (fRawImageStage == kRawImageStagePostOpcode2) {
        fRawImage = fStage2Image->Clone();
        fRawImageBlackLevel = fStage3BlackLevel;
        TakeRawCopies(false);
    }
}

void dng_negative::DoBuildStage2(dng_host& host) {
    const dng_image& stage1 = *fStage1Image;
    const dng_rect& active = fLinearizationInfo->fActiveArea;
    if ((active & stage1.Bounds()) != active) ThrowBadFormat("active area outside the image");
    // Already linear 16-bit samples need no copy.
    if (fLinearizationInfo->PassesThrough(host, *this, stage1)) {
        fStage2Image = std::move(fStage1Image);
        return;
    }
    const uint32 pixelType =
        stage1.PixelType() == ttFloat || stage1.PixelType() == ttLong ? ttFloat : ttShort;
    std::unique_ptr<dng_image> stage2(
        host.MakeImage(dng_rect(active.H(), active.W()), stage1.Planes(), pixelType));
    fLinearizationInfo->Linearize(host, *this, stage1, *stage2);
    fStage2Image = std::move(stage2);
}

bool dng_negative::NeedDefloatStage2(dng_host& host) {
    const uint32 version = host.SaveDNGVersion();
    return fStage2Image && fStage2Image->PixelType() == ttFloat && fRawImageStage >= 2 &&
           version != 0 && version < 0x01040000;
}

void dng_negative::DefloatStage2(dng_host&) {
    ThrowNotYetImplemented("dng_negative::DefloatStage2");
}

void dng_negative::BuildStage3Image(dng_host& host, int32 srcPlane) {
    JoinRawImageDigest();
    if (!fStage2Image) ThrowProgramError("no stage 2 image");
    if (fMosaicInfo) {
        const dng_point srcSize(int32(fStage2Image->Height()), int32(fStage2Image->Width()));
        const dng_point cropped(
            int32(std::min<uint32>(RoundUp(fDefaultCropSizeV.AsReal64()), 0x7FFFFFFF)),
            int32(std::min<uint32>(RoundUp(fDefaultCropSizeH.AsReal64()), 0x7FFFFFFF)));
        const real64 scaleV = fDefaultScaleV.AsReal64();
        fMosaicInfo->SetSizes(srcSize, cropped,
                              scaleV > 0.0 ? fDefaultScaleH.AsReal64() / scaleV : 1.0);
    }

    DoBuildStage3(host, srcPlane);

    if (!host.KeepStage2()) fStage2Image.reset();

    const bool laterStage = fRawImageStage >= 3;
    if (laterStage) {
        if (!host.KeepStage2()) fMosaicInfo.reset();
        const auto fold = [](real64& scale, dng_urational& size, dng_urational& origin,
                             dng_urational& defaultScale) {
            if (scale <= 1.0) return;
            const uint32 n = std::max<uint32>(RoundUp(scale), 1);
            size.n = SafeUint32Mult(size.n, n);
            origin.n = SafeUint32Mult(origin.n, n);
            defaultScale.d = SafeUint32Mult(defaultScale.d, n);
            scale /= n;
        };
        fold(fRawToFullScaleH, fDefaultCropSizeH, fDefaultCropOriginH, fDefaultScaleH);
        fold(fRawToFullScaleV, fDefaultCropSizeV, fDefaultCropOriginV, fDefaultScaleV);
    }

    ResizeTransparencyToMatchStage3(host, false);

    if (fRawImageStage == kRawImageStagePreOpcode3) {
        fRawImage = fStage3Image->Clone();
        fRawImageBlackLevel = fStage3BlackLevel;
        TakeRawCopies(false);
    }

    host.ApplyOpcodeList(fOpcodeList3, *this, fStage3Image);
    if (fRawImageStage >= 4 && !host.KeepStage2()) fOpcodeList3.Clear();

    ResizeTransparencyToMatchStage3(host, false);
    ResizeAuxiliaryToMatchStage3(host);

    fFloatingPoint = fStage3Image && fStage3Image->PixelType() == ttFloat;
}

void dng_negative::DoBuildStage3(dng_host& host, int32 srcPlane) {
    if (fMosaicInfo && fMosaicInfo->IsColorFilterArray()) {
        const int32 planes = int32(fStage2Image->Planes());
        const real64 width2 = fStage2Image->Width();
        const real64 height2 = fStage2Image->Height();
        if (srcPlane < 0 && planes > 1)
            DoMergeStage3(host);
        else
            DoInterpolateStage3(host, srcPlane);
        fRawToFullScaleH = real64(fStage3Image->Width()) / width2;
        fRawToFullScaleV = real64(fStage3Image->Height()) / height2;
    } else {
        SetStage3Image(std::move(fStage2Image));
    }
}

void dng_negative::DoMergeStage3(dng_host& host) {
    DoInterpolateStage3(host, 0);
    fStage3Gain = std::pow(2.0, BaselineExposure());
}

void dng_negative::DoInterpolateStage3(dng_host& host, int32 srcPlane) {
    const uint32 preferred = host.SizeOverrideFlag() && host.SizeOverride() != 0
                                 ? host.SizeOverride()
                                 : host.PreferredSize();
    const dng_point downScale =
        fMosaicInfo->DownScale(host.MinimumSize(), preferred, host.CropFactor());
    if (downScale != dng_point(1, 1)) fIsPreview = true;
    const dng_point size = fMosaicInfo->DstSize(downScale);
    std::unique_ptr<dng_image> stage3(host.MakeImage(
        dng_rect(size.v, size.h), fMosaicInfo->fColorPlanes, fStage2Image->PixelType()));
    const uint32 plane =
        srcPlane >= 0 && uint32(srcPlane) < fStage2Image->Planes() ? uint32(srcPlane) : 0;
    fMosaicInfo->Interpolate(host, this, *fStage2Image, *stage3, downScale, plane);
    SetStage3Image(std::move(stage3));
}

// ---- reading a DNG -------------------------------------------------------

void dng_negative::Parse(dng_host& host, dng_stream& stream, dng_info& info) {
    dng_shared& shared = *info.fShared;
    const dng_parsed_ifd& main = info.MainIFD();
    const dng_parsed_ifd& ifd0 = info.IFD(0);

    fModelName = shared.fUniqueCameraModel;
    fLocalName = shared.fLocalizedCameraModel;

    if (ifd0.fOrientation >= 1 && ifd0.fOrientation <= 8)
        fMetadata->SetBaseOrientation(dng_orientation::TIFFtoDNG(ifd0.fOrientation));

    fDefaultCropSizeH = main.fDefaultCropSizeH;
    fDefaultCropSizeV = main.fDefaultCropSizeV;
    fDefaultCropOriginH = main.fDefaultCropOriginH;
    fDefaultCropOriginV = main.fDefaultCropOriginV;
    SetDefaultUserCrop(main.fDefaultUserCropT, main.fDefaultUserCropL, main.fDefaultUserCropB,
                       main.fDefaultUserCropR);
    fDefaultScaleH = main.fDefaultScaleH;
    fDefaultScaleV = main.fDefaultScaleV;
    fBestQualityScale = main.fBestQualityScale;

    SetBaselineNoise(shared.fBaselineNoise.AsReal64());
    fNoiseReductionApplied = main.fNoiseReductionApplied.d != 0 ? main.fNoiseReductionApplied
                                                                : ifd0.fNoiseReductionApplied;
    fNoiseProfile = main.fNoiseProfile.IsValid() ? main.fNoiseProfile : ifd0.fNoiseProfile;

    SetBaselineExposure(shared.fBaselineExposure.AsReal64());
    SetBaselineSharpness(shared.fBaselineSharpness.AsReal64());
    fChromaBlurRadius = main.fChromaBlurRadius;
    fAntiAliasStrength = main.fAntiAliasStrength;
    SetLinearResponseLimit(shared.fLinearResponseLimit.AsReal64());
    SetShadowScale(shared.fShadowScale);
    fColorimetricReference = shared.fColorimetricReference;
    fFloatingPoint = main.fSampleFormat[0] == sfFloatingPoint;

    // Without colour matrices (a malformed file) the channels come from the
    // image itself so that it can still be developed as raw data.
    uint32 channels = shared.fCameraProfile.fColorPlanes;
    if (channels == 0) {
        if (main.fPhotometricInterpretation == piCFA) {
            uint32 maxColor = 0;
            for (uint32 r = 0; r < main.fCFARepeatPatternRows; r++)
                for (uint32 c = 0; c < main.fCFARepeatPatternCols; c++)
                    maxColor = std::max<uint32>(maxColor, main.fCFAPattern[r][c]);
            channels =
                std::min<uint32>(std::max<uint32>(main.fCFAPlaneColorCount, maxColor + 1), 4);
        } else {
            channels = main.fSamplesPerPixel;
        }
    }
    fColorChannels = channels;

    if (shared.fAnalogBalance.NotEmpty()) SetAnalogBalance(shared.fAnalogBalance);
    if (shared.fCameraCalibration1.NotEmpty()) SetCameraCalibration1(shared.fCameraCalibration1);
    if (shared.fCameraCalibration2.NotEmpty()) SetCameraCalibration2(shared.fCameraCalibration2);
    fCameraCalibrationSignature = shared.fCameraCalibrationSignature;

    if (fColorChannels > 1 && (host.NeedsMeta() || host.NeedsImage()) &&
        shared.fCameraProfile.fColorPlanes > 1) {
        auto addParsed = [&](const dng_camera_profile_info& profileInfo) {
            auto profile = std::make_unique<dng_camera_profile>();
            profile->Parse(stream, profileInfo);
            if (!profile->IsValid(fColorChannels)) ThrowBadFormat("camera profile does not fit");
            profile->SetWasReadFromDNG(true);
            AddProfile(std::move(profile));
        };
        addParsed(shared.fCameraProfile);
        for (const dng_camera_profile_info& extra : shared.fExtraCameraProfiles) addParsed(extra);
        if (shared.fAsShotProfileName.NotEmpty()) fAsShotProfileName = shared.fAsShotProfileName;
    }

    if (shared.fRawImageDigest.IsValid()) fRawImageDigest = shared.fRawImageDigest;
    if (shared.fNewRawImageDigest.IsValid()) fNewRawImageDigest = shared.fNewRawImageDigest;
    if (shared.fRawDataUniqueID.IsValid()) SetRawDataUniqueID(shared.fRawDataUniqueID);
    if (shared.fOriginalRawFileName.NotEmpty()) fOriginalRawFileName = shared.fOriginalRawFileName;

    if (shared.fOriginalRawFileDataCount) {
        fHasOriginalRawFileData = true;
        if (host.KeepOriginalFile()) {
            fOriginalRawFileData = ReadBlock(host, stream, shared.fOriginalRawFileDataOffset,
                                             shared.fOriginalRawFileDataCount);
            fOriginalRawFileDigest = shared.fOriginalRawFileDigest;
            ValidateOriginalRawFileDigest();
        }
    }
    if (shared.fDNGPrivateDataCount && host.SaveDNGVersion() != 0)
        fDNGPrivateData =
            ReadBlock(host, stream, shared.fDNGPrivateDataOffset, shared.fDNGPrivateDataCount);

    if (info.fExif) fMetadata->ResetExif(std::move(info.fExif));

    NeedLinearizationInfo();
    dng_linearization_tags tags = main.fLinearizationTags;
    // A single black level given for a larger pattern applies to all of it.
    const size_t blackCount = size_t(tags.fBlackLevelRepeatRows) * tags.fBlackLevelRepeatCols *
                              std::max<uint32>(main.fSamplesPerPixel, 1);
    if (tags.fBlackLevel.size() == 1 && blackCount > 1)
        tags.fBlackLevel.assign(blackCount, tags.fBlackLevel[0]);
    fLinearizationInfo->Parse(host, stream, main, tags);

    if (main.fPhotometricInterpretation == piCFA) {
        NeedMosaicInfo();
        fMosaicInfo->Parse(host, stream, main, fColorChannels, main.fCFAPlaneColor,
                           main.fBayerGreenSplit);
    }

    if (shared.fOriginalDefaultFinalSize.h > 0 && shared.fOriginalDefaultFinalSize.v > 0)
        SetOriginalSizes(shared.fOriginalDefaultFinalSize);
    if (shared.fOriginalBestQualityFinalSize.h > 0 && shared.fOriginalBestQualityFinalSize.v > 0)
        fOriginalBestQualityFinalSize = shared.fOriginalBestQualityFinalSize;
    if (shared.fOriginalDefaultCropSizeH.AsReal64() >= 1.0 &&
        shared.fOriginalDefaultCropSizeV.AsReal64() >= 1.0) {
        fOriginalDefaultCropSizeH = shared.fOriginalDefaultCropSizeH;
        fOriginalDefaultCropSizeV = shared.fOriginalDefaultCropSizeV;
    }

    fAuxiliaryFormat = shared.fDepthFormat;
    if (shared.fDepthNear.n) fAuxiliaryNear = shared.fDepthNear;
    if (shared.fDepthFar.n) fAuxiliaryFar = shared.fDepthFar;
    if (shared.fDepthUnits) fAuxiliaryUnits = shared.fDepthUnits;
    if (shared.fDepthMeasureType) fAuxiliaryMeasureType = shared.fDepthMeasureType;
}

void dng_negative::PostParse(dng_host& host, dng_stream& stream, dng_info& info) {
    const dng_shared& shared = *info.fShared;

    if (shared.fMakerNoteCount && shared.fMakerNoteSafety == 1) {
        fMetadata->SetMakerNoteSafety(true);
        fMetadata->SetMakerNote(
            ReadBlock(host, stream, shared.fMakerNoteOffset, shared.fMakerNoteCount));
    }
    if (shared.fIPTC_NAA_Count) {
        fMetadata->SetIPTCWithOffset(
            ReadBlock(host, stream, shared.fIPTC_NAA_Offset, shared.fIPTC_NAA_Count),
            shared.fIPTC_NAA_Offset);
    }
    if (info.fXMPCount) {
        std::unique_ptr<dng_memory_block> xmp =
            ReadBlock(host, stream, info.fXMPOffset, info.fXMPCount);
        fMetadata->SetEmbeddedXMP(host, xmp->Buffer(), xmp->LogicalSize());
    }

    SetDefaultOriginalSizes();

    if (!IsMonochrome()) {
        if (fColorimetricReference == 1) {
            ClearCameraNeutral();
            SetCameraWhiteXY(D50_xy_coord().x, D50_xy_coord().y);
        } else {
            if (shared.fAsShotNeutral.Count() == fColorChannels)
                SetCameraNeutral(shared.fAsShotNeutral);
            if (!HasCameraNeutral() && shared.fAsShotWhiteXY.x > 0.0 &&
                shared.fAsShotWhiteXY.y > 0.0)
                SetCameraWhiteXY(shared.fAsShotWhiteXY.x, shared.fAsShotWhiteXY.y);
        }
    }
}

void dng_negative::ReadOpcodeLists(dng_host& host, dng_stream& stream, dng_info& info) {
    const dng_parsed_ifd& main = info.MainIFD();
    if (main.fOpcodeList1Count)
        fOpcodeList1.Parse(host, stream, main.fOpcodeList1Count, main.fOpcodeList1Offset);
    if (main.fOpcodeList2Count)
        fOpcodeList2.Parse(host, stream, main.fOpcodeList2Count, main.fOpcodeList2Offset);
    if (main.fOpcodeList3Count)
        fOpcodeList3.Parse(host, stream, main.fOpcodeList3Count, main.fOpcodeList3Offset);
}

void dng_negative::ReadStage1Image(dng_host& host, dng_stream& stream, dng_info& info) {
    const dng_parsed_ifd& main = info.MainIFD();
    if (main.fCompression == ccLossyJPEG || main.fCompression == kCompressionJPEGXL)
        ThrowNotYetImplemented("raw image compression not supported");

    dng_read_image::CheckImageData(main, stream);
    const dng_rect bounds(int32(main.fImageLength), int32(main.fImageWidth));
    std::unique_ptr<dng_image> image(
        host.MakeImage(bounds, main.fSamplesPerPixel, PixelTypeFor(main)));
    dng_read_image reader;
    reader.Read(host, main, stream, *image, nullptr, nullptr);
    if (image->PixelType() == ttFloat) fRawFloatBitDepth = main.fBitsPerSample[0];
    fStage1Image = std::move(image);

    ReadOpcodeLists(host, stream, info);
}

int32 dng_negative::ReadTransparencyMask(dng_host& host, dng_stream& stream, dng_info& info) {
    if (info.fMaskIndex < 0) return -1;
    const dng_parsed_ifd& ifd = info.IFD(uint32(info.fMaskIndex));
    dng_read_image::CheckImageData(ifd, stream);
    const dng_rect bounds(int32(ifd.fImageLength), int32(ifd.fImageWidth));
    std::unique_ptr<dng_image> mask(host.MakeImage(bounds, 1, PixelTypeFor(ifd)));
    dng_read_image reader;
    reader.Read(host, ifd, stream, *mask, nullptr, nullptr);
    SetTransparencyMask(std::move(mask), ifd.fBitsPerSample[0]);
    return info.fMaskIndex;
}

void dng_negative::ResizeTransparencyToMatchStage3(dng_host& host, bool convertTo8Bit) {
    if (!fTransparencyMask || !fStage3Image) return;
    if (fTransparencyMask->Bounds() == fStage3Image->Bounds() &&
        (fTransparencyMask->PixelType() == ttByte || !convertTo8Bit))
        return;
    std::unique_ptr<dng_image> resized(
        host.MakeImage(fStage3Image->Bounds(), 1,
                       convertTo8Bit ? uint32(ttByte) : fTransparencyMask->PixelType()));
    host.ResampleImage(*fTransparencyMask, *resized);
    fTransparencyMask = std::move(resized);
    if (!fRawTransparencyMask)
        fRawTransparencyMaskBitDepth = 0;
    else if (convertTo8Bit)
        fRawTransparencyMaskBitDepth = 8;
}

void dng_negative::ResizeAuxiliaryToMatchStage3(dng_host& host) {
    if (!fAuxiliaryImage || !fStage3Image || fAuxiliaryImage->Bounds() == fStage3Image->Bounds())
        return;
    const uint64 auxPixels = uint64(fAuxiliaryImage->Width()) * fAuxiliaryImage->Height();
    const uint64 stagePixels = uint64(fStage3Image->Width()) * fStage3Image->Height();
    if (!fRawAuxiliaryImage && auxPixels < stagePixels)
        fRawAuxiliaryImage = fAuxiliaryImage->Clone();
    std::unique_ptr<dng_image> resized(
        host.MakeImage(fStage3Image->Bounds(), 1, fAuxiliaryImage->PixelType()));
    host.ResampleImage(*fAuxiliaryImage, *resized);
    fAuxiliaryImage = std::move(resized);
}

uint32 dng_negative::RawTransparencyMaskBitDepth() const {
    if (fRawTransparencyMaskBitDepth) return fRawTransparencyMaskBitDepth;
    const dng_image* mask = RawTransparencyMask();
    if (!mask) return 0;
    switch (mask->PixelType()) {
        case ttByte:
            return 8;
        case ttShort:
            return 16;
        case ttFloat:
            return 32;
        default:
            ThrowProgramError("unexpected transparency mask pixel type");
    }
}

int32 dng_negative::ReadAuxiliaryImage(dng_host& host, dng_stream& stream, dng_info& info) {
    if (info.fDepthIndex < 0) return -1;
    const dng_parsed_ifd& ifd = info.IFD(uint32(info.fDepthIndex));
    dng_read_image::CheckImageData(ifd, stream);
    const dng_rect bounds(int32(ifd.fImageLength), int32(ifd.fImageWidth));
    std::unique_ptr<dng_image> image(host.MakeImage(bounds, 1, PixelTypeFor(ifd)));
    dng_read_image reader;
    reader.Read(host, ifd, stream, *image, nullptr, nullptr);
    SetAuxiliaryImage(std::move(image));
    return info.fDepthIndex;
}

void dng_negative::ReadEnhancedImage(dng_host& host, dng_stream& stream, dng_info& info) {
    JoinRawImageDigest();
    if (info.fEnhancedIndex < 0) ThrowProgramError("no enhanced image");
    const dng_parsed_ifd& ifd = info.IFD(uint32(info.fEnhancedIndex));
    if (ifd.fCompression == ccLossyJPEG || ifd.fCompression == kCompressionJPEGXL)
        ThrowNotYetImplemented("enhanced image compression not supported");
    dng_read_image::CheckImageData(ifd, stream);
    const dng_rect bounds(int32(ifd.fImageLength), int32(ifd.fImageWidth));
    std::unique_ptr<dng_image> image(
        host.MakeImage(bounds, ifd.fSamplesPerPixel, PixelTypeFor(ifd)));
    dng_read_image reader;
    reader.Read(host, ifd, stream, *image, nullptr, nullptr);
    SetStage3Image(std::move(image));

    fUniqueIDQualifier = ifd.fEnhanceParams;
    fStage3BlackLevel = uint16(std::min<uint32>(RoundUp(ifd.fEnhancedBlackLevel), 65535));

    ReadOpcodeLists(host, stream, info);

    bool rawRead = false;
    if (host.SaveDNGVersion() != 0 && !host.SaveLinearDNG()) {
        const dng_parsed_ifd& main = info.MainIFD();
        dng_read_image::CheckImageData(main, stream);
        std::unique_ptr<dng_image> raw(
            host.MakeImage(dng_rect(int32(main.fImageLength), int32(main.fImageWidth)),
                           main.fSamplesPerPixel, PixelTypeFor(main)));
        dng_read_image rawReader;
        rawReader.Read(host, main, stream, *raw, nullptr, nullptr);
        fRawImage = std::move(raw);
        rawRead = true;
    }

    if (ifd.fBaselineSharpness.d != 0) {
        if (fOriginalBaselineSharpness.d == 0) fOriginalBaselineSharpness = fBaselineSharpness;
        fBaselineSharpness = ifd.fBaselineSharpness;
    }
    if (ifd.fNoiseReductionApplied.d != 0) {
        if (fOriginalNoiseReductionApplied.d == 0)
            fOriginalNoiseReductionApplied = fNoiseReductionApplied;
        fNoiseReductionApplied = ifd.fNoiseReductionApplied;
    }
    const uint32 functions = ifd.fNoiseProfile.NumFunctions();
    if (ifd.fNoiseProfile.IsValid() && (functions == 1 || functions == fColorChannels)) {
        EnsureOriginalNoiseProfile();
        fNoiseProfile = ifd.fNoiseProfile;
    }

    if (fLinearizationInfo && !fLinearizationInfo->fActiveArea.IsEmpty()) {
        const dng_rect& active = fLinearizationInfo->fActiveArea;
        fRawToFullScaleH = real64(fStage3Image->Width()) / active.W();
        fRawToFullScaleV = real64(fStage3Image->Height()) / active.H();
    }

    if (!rawRead) {
        fLinearizationInfo.reset();
        fMosaicInfo.reset();
        fOpcodeList1.Clear();
        fOpcodeList2.Clear();
        fOpcodeList3.Clear();
        ClearRawImageDigest();
        fOriginalBaselineSharpness.Clear();
        fOriginalNoiseReductionApplied.Clear();
        fOriginalNoiseProfile.Clear();
        const dng_fingerprint qualified = RawDataUniqueID();
        if (qualified.IsValid()) SetRawDataUniqueID(qualified);
        fUniqueIDQualifier.Clear();
    }
}
