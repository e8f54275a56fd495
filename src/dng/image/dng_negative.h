// The in-memory model of one DNG digital negative: the raw or linear image at
// its three processing stages (as stored, linearized, full colour), the values
// a DNG file carries about it (crop, scale, levels, colour, noise), its camera
// profiles, its metadata and its three opcode lists.
//
// Made only through Make (or the host's MakeNegative). The negative owns its
// images, metadata, linearization and mosaic information, profiles and
// opcode lists; owned objects are replaced by Reset/Set operations that
// delete the old one. Used by one thread at a time, except the raw data
// unique ID, which is guarded by its own lock; the stage building may run
// area tasks on several threads through the host.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "dng/color/dng_negative_color_data.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_vector.h"
#include "dng/image/dng_linearization_source.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_noise_profile.h"
#include "dng/image/dng_opcode_list.h"

namespace platform {
class DispatchGroup;
}

class dng_camera_profile;
class dng_color_spec;
class dng_host;
class dng_image;
class dng_image_writer;
class dng_info;
class dng_jpeg_image;
class dng_linearization_info;
class dng_memory_allocator;
class dng_memory_block;
class dng_mosaic_info;
class dng_stream;

// Names a camera profile by name, fingerprint or both.
class dng_camera_profile_id {
public:
    dng_camera_profile_id() = default;
    explicit dng_camera_profile_id(const char* name) : fName(name) {}
    dng_camera_profile_id(const dng_string& name, const dng_fingerprint& fingerprint)
        : fName(name), fFingerprint(fingerprint) {}

    const dng_string& Name() const { return fName; }
    const dng_fingerprint& Fingerprint() const { return fFingerprint; }

private:
    dng_string fName;
    dng_fingerprint fFingerprint;
};

class dng_negative : public dng_negative_color_data, public dng_linearization_source {
public:
    // Raw image stages: which copy of the raw data a DNG save keeps.
    enum : uint32 {
        kRawImageStagePreOpcode1 = 0,
        kRawImageStagePostOpcode1 = 1,
        kRawImageStagePostOpcode2 = 2,
        kRawImageStagePreOpcode3 = 3,
        kRawImageStagePostOpcode3 = 4,
        kRawImageStageNone = 5
    };

    static std::unique_ptr<dng_negative> Make(dng_host& host);
    ~dng_negative() override;
    dng_negative(const dng_negative&) = delete;
    dng_negative& operator=(const dng_negative&) = delete;

    dng_memory_allocator& Allocator() const { return fAllocator; }

    // ---- identity -------------------------------------------------------
    void SetModelName(const char* name) { fModelName.Set(name); }
    const dng_string& ModelName() const { return fModelName; }
    void SetLocalName(const char* name) { fLocalName.Set(name); }
    const dng_string& LocalName() const { return fLocalName; }

    // ---- crop and scale -------------------------------------------------
    void SetDefaultCropSize(const dng_urational& h, const dng_urational& v) {
        fDefaultCropSizeH = h;
        fDefaultCropSizeV = v;
    }
    void SetDefaultCropOrigin(const dng_urational& h, const dng_urational& v) {
        fDefaultCropOriginH = h;
        fDefaultCropOriginV = v;
    }
    void SetDefaultUserCrop(const dng_urational& t, const dng_urational& l, const dng_urational& b,
                            const dng_urational& r);
    void SetDefaultScale(const dng_urational& h, const dng_urational& v) {
        fDefaultScaleH = h;
        fDefaultScaleV = v;
    }
    void SetBestQualityScale(const dng_urational& scale) { fBestQualityScale = scale; }
    const dng_urational& DefaultCropSizeH() const { return fDefaultCropSizeH; }
    const dng_urational& DefaultCropSizeV() const { return fDefaultCropSizeV; }
    const dng_urational& DefaultCropOriginH() const { return fDefaultCropOriginH; }
    const dng_urational& DefaultCropOriginV() const { return fDefaultCropOriginV; }
    const dng_urational& DefaultUserCropT() const { return fDefaultUserCropT; }
    const dng_urational& DefaultUserCropL() const { return fDefaultUserCropL; }
    const dng_urational& DefaultUserCropB() const { return fDefaultUserCropB; }
    const dng_urational& DefaultUserCropR() const { return fDefaultUserCropR; }
    const dng_urational& DefaultScaleH() const { return fDefaultScaleH; }
    const dng_urational& DefaultScaleV() const { return fDefaultScaleV; }
    const dng_urational& BestQualityScale() const { return fBestQualityScale; }
    real64 RawToFullScaleH() const { return fRawToFullScaleH; }
    real64 RawToFullScaleV() const { return fRawToFullScaleV; }
    void SetRawToFullScale(real64 h, real64 v) {
        fRawToFullScaleH = h;
        fRawToFullScaleV = v;
    }

    real64 SquareHeight() const;
    uint32 FullQualityHeight() const;
    uint32 FullQualityWidth() const;
    bool HasUserCrop() const;
    dng_rect DefaultCropArea() const;

    void SetOriginalSizes(const dng_point& size);
    void SetDefaultOriginalSizes();
    bool OriginalCropSizeDiffers() const;
    const dng_point& OriginalDefaultFinalSize() const { return fOriginalDefaultFinalSize; }
    const dng_point& OriginalBestQualityFinalSize() const { return fOriginalBestQualityFinalSize; }
    const dng_urational& OriginalDefaultCropSizeH() const { return fOriginalDefaultCropSizeH; }
    const dng_urational& OriginalDefaultCropSizeV() const { return fOriginalDefaultCropSizeV; }

    // ---- rendering hints ------------------------------------------------
    void SetBaselineNoise(real64 noise) { fBaselineNoise.SetReal64(noise, 100); }
    const dng_urational& BaselineNoiseR() const { return fBaselineNoise; }
    void SetNoiseReductionApplied(const dng_urational& value) { fNoiseReductionApplied = value; }
    const dng_urational& NoiseReductionApplied() const { return fNoiseReductionApplied; }
    void SetNoiseProfile(const dng_noise_profile& profile) { fNoiseProfile = profile; }
    const dng_noise_profile& NoiseProfile() const { return fNoiseProfile; }
    const dng_noise_profile& OriginalNoiseProfile() const { return fOriginalNoiseProfile; }
    const dng_urational& OriginalNoiseReductionApplied() const {
        return fOriginalNoiseReductionApplied;
    }
    void EnsureOriginalNoiseProfile();
    void SetBaselineExposure(real64 exposure) { fBaselineExposure.SetReal64(exposure, 100); }
    const dng_srational& BaselineExposureR() const { return fBaselineExposure; }
    real64 BaselineExposure() const { return fBaselineExposure.AsReal64(); }
    real64 TotalBaselineExposure(const dng_camera_profile_id& profileID) const;
    void SetBaselineSharpness(real64 sharpness) { fBaselineSharpness.SetReal64(sharpness, 100); }
    const dng_urational& BaselineSharpnessR() const { return fBaselineSharpness; }
    const dng_urational& OriginalBaselineSharpnessR() const { return fOriginalBaselineSharpness; }
    void SetChromaBlurRadius(const dng_urational& r) { fChromaBlurRadius = r; }
    const dng_urational& ChromaBlurRadius() const { return fChromaBlurRadius; }
    void SetAntiAliasStrength(const dng_urational& s) { fAntiAliasStrength = s; }
    const dng_urational& AntiAliasStrength() const { return fAntiAliasStrength; }
    void SetLinearResponseLimit(real64 limit) { fLinearResponseLimit.SetReal64(limit, 100); }
    const dng_urational& LinearResponseLimitR() const { return fLinearResponseLimit; }
    // Ignored unless the denominator is non-zero and 0 < value <= 1.
    void SetShadowScale(const dng_urational& scale);
    const dng_urational& ShadowScaleR() const { return fShadowScale; }
    void SetColorimetricReference(uint32 ref) { fColorimetricReference = ref; }
    uint32 ColorimetricReference() const { return fColorimetricReference; }
    void SetFloatingPoint(bool isFloat) { fFloatingPoint = isFloat; }
    bool IsFloatingPoint() const { return fFloatingPoint; }

    // ---- colour ---------------------------------------------------------
    void SetColorChannels(uint32 channels) { fColorChannels = channels; }
    uint32 ColorChannels() const override { return fColorChannels; }
    bool IsMonochrome() const { return fColorChannels == 1; }

    // Stored divided by its smallest entry and rounded to 1e-6; cleared
    // when empty or when an entry is not positive.
    void SetAnalogBalance(const dng_vector& balance);
    real64 AnalogBalance(uint32 channel) const override;
    dng_urational AnalogBalanceR(uint32 channel) const;
    const dng_vector& AnalogBalanceVector() const { return fAnalogBalance; }

    // Stored divided by its largest entry and rounded to 1e-6.
    void SetCameraNeutral(const dng_vector& neutral);
    void ClearCameraNeutral() { fCameraNeutral.Clear(); }
    bool HasCameraNeutral() const { return fCameraNeutral.NotEmpty(); }
    const dng_vector& CameraNeutral() const { return fCameraNeutral; }
    dng_urational CameraNeutralR(uint32 channel) const;

    void SetCameraWhiteXY(real64 x, real64 y);
    bool HasCameraWhiteXY() const { return fCameraWhiteX > 0.0 && fCameraWhiteY > 0.0; }
    void CameraWhiteXY(real64& x, real64& y) const {
        x = fCameraWhiteX;
        y = fCameraWhiteY;
    }
    void GetCameraWhiteXY(dng_urational& x, dng_urational& y) const;

    void SetCameraCalibration1(const dng_matrix& m);
    void SetCameraCalibration2(const dng_matrix& m);
    const dng_matrix& CameraCalibration1() const override { return fCameraCalibration1; }
    const dng_matrix& CameraCalibration2() const override { return fCameraCalibration2; }
    void SetCameraCalibrationSignature(const char* s) { fCameraCalibrationSignature.Set(s); }
    const dng_string& CameraCalibrationSignature() const override {
        return fCameraCalibrationSignature;
    }

    // ---- camera profiles ------------------------------------------------
    void AddProfile(std::unique_ptr<dng_camera_profile> profile);
    void ClearProfiles(bool builtInMatrixProfiles, bool readFromDisk);
    void DeleteAllProfiles();
    uint32 ProfileCount() const { return static_cast<uint32>(fCameraProfiles.size()); }
    const dng_camera_profile& ProfileByIndex(uint32 index) const {
        return *fCameraProfiles.at(index);
    }
    virtual const dng_camera_profile* ProfileByID(const dng_camera_profile_id& id,
                                                  bool useDefaultIfNoMatch = true) const;
    virtual const dng_camera_profile* ComputeCameraProfileToEmbed(
        const dng_metadata& metadata) const;
    virtual std::unique_ptr<dng_color_spec> MakeColorSpec(const dng_camera_profile_id& id) const;
    void SetAsShotProfileName(const char* name) { fAsShotProfileName.Set(name); }
    const dng_string& AsShotProfileName() const { return fAsShotProfileName; }

    // ---- digests --------------------------------------------------------
    const dng_fingerprint& RawImageDigest() const { return fRawImageDigest; }
    const dng_fingerprint& NewRawImageDigest() const { return fNewRawImageDigest; }
    void SetRawImageDigest(const dng_fingerprint& d) {
        JoinRawImageDigest();
        fRawImageDigest = d;
    }
    void SetNewRawImageDigest(const dng_fingerprint& d) { fNewRawImageDigest = d; }
    void ClearRawImageDigest() {
        JoinRawImageDigest();
        fRawImageDigest.Clear();
        fNewRawImageDigest.Clear();
    }
    // The MD5 of every sample of the image, read in 16-row bands as
    // interleaved rows (8-bit samples as 16-bit).
    dng_fingerprint FindImageDigest(dng_host& host, const dng_image& image) const;
    // Each computes its digest only when none is stored.
    void FindRawImageDigest(dng_host& host);
    // Computes the classic raw digest on another thread (one serial pass over
    // the image) so that a writer can encode the image meanwhile;
    // FindRawImageDigest waits for it. The raw image must not change before.
    void StartRawImageDigest(dng_host& host);
    void FindNewRawImageDigest(dng_host& host);
    // Recomputes the stored digest; a mismatch marks the negative damaged.
    void ValidateRawImageDigest(dng_host& host);
    // Computes the unique ID from the raw digest, model, crops and opcode
    // lists when none is stored.
    void FindRawDataUniqueID(dng_host& host);
    virtual void RecomputeRawDataUniqueID(dng_host& host);
    // The stored ID, qualified by the unique-ID qualifier when one is set.
    dng_fingerprint RawDataUniqueID() const;
    void SetRawDataUniqueID(const dng_fingerprint& id);
    const dng_string& OriginalRawFileName() const { return fOriginalRawFileName; }
    void SetOriginalRawFileName(const char* name) { fOriginalRawFileName.Set(name); }
    // Takes the block; a null block clears the data.
    void SetOriginalRawFileData(std::unique_ptr<dng_memory_block> data) {
        fHasOriginalRawFileData = data != nullptr;
        fOriginalRawFileData = std::move(data);
    }
    void SetOriginalRawFileDigest(const dng_fingerprint& digest) {
        fOriginalRawFileDigest = digest;
    }
    bool HasOriginalRawFileData() const { return fHasOriginalRawFileData; }
    const dng_memory_block* OriginalRawFileData() const { return fOriginalRawFileData.get(); }
    const dng_memory_block* PrivateData() const { return fDNGPrivateData.get(); }
    bool IsDamaged() const { return fIsDamaged; }
    const dng_fingerprint& OriginalRawFileDigest() const { return fOriginalRawFileDigest; }
    // The MD5 of the original raw file data, when none is stored yet.
    void FindOriginalRawFileDigest();
    // Recomputes a stored digest; a mismatch marks the negative damaged and
    // keeps the stored digest.
    void ValidateOriginalRawFileDigest();

    // ---- metadata -------------------------------------------------------
    dng_metadata& Metadata() { return *fMetadata; }
    const dng_metadata& Metadata() const { return *fMetadata; }
    std::unique_ptr<dng_metadata> CloneInternalMetadata() const;
    virtual dng_orientation ComputeOrientation(const dng_metadata& metadata) const;

    // ---- linearization --------------------------------------------------
    dng_linearization_info* GetLinearizationInfo() { return fLinearizationInfo.get(); }
    const dng_linearization_info* GetLinearizationInfo() const { return fLinearizationInfo.get(); }
    void ClearLinearizationInfo();
    void SetActiveArea(const dng_rect& area);
    void SetMaskedAreas(uint32 count, const dng_rect* areas);
    void SetLinearization(std::unique_ptr<dng_memory_block> table);
    void SetBlackLevel(real64 black, int32 plane = -1);
    void SetQuadBlacks(real64 b00, real64 b01, real64 b10, real64 b11, int32 plane = -1);
    // 36 values in row order, a 6 x 6 repeat.
    void SetBlackLevel6x6(const real64* blacks, int32 plane = -1);
    void SetRowBlacks(const real64* blacks, uint32 count);
    void SetColumnBlacks(const real64* blacks, uint32 count);
    void SetWhiteLevel(uint32 white, int32 plane = -1);
    uint32 WhiteLevel(uint32 plane = 0) const;

    // ---- mosaic ---------------------------------------------------------
    dng_mosaic_info* GetMosaicInfo() { return fMosaicInfo.get(); }
    const dng_mosaic_info* GetMosaicInfo() const { return fMosaicInfo.get(); }
    void ClearMosaicInfo();
    void SetColorKeys(uint8 color0, uint8 color1, uint8 color2, uint8 color3 = 0);
    void SetBayerMosaic(uint32 phase);
    void SetFujiMosaic(uint32 phase);
    // dng_error_unknown for a phase of 36 or more.
    void SetFujiMosaic6x6(uint32 phase);
    void SetQuadMosaic(uint32 pattern);
    void SetGreenSplit(uint32 split);
    virtual bool SetFourColorBayer();

    // ---- opcode lists ---------------------------------------------------
    dng_opcode_list& OpcodeList1() { return fOpcodeList1; }
    dng_opcode_list& OpcodeList2() { return fOpcodeList2; }
    dng_opcode_list& OpcodeList3() { return fOpcodeList3; }
    const dng_opcode_list& OpcodeList1() const { return fOpcodeList1; }
    const dng_opcode_list& OpcodeList2() const { return fOpcodeList2; }
    const dng_opcode_list& OpcodeList3() const { return fOpcodeList3; }

    // ---- images ---------------------------------------------------------
    const dng_image* Stage1Image() const { return fStage1Image.get(); }
    const dng_image* Stage2Image() const { return fStage2Image.get(); }
    const dng_image* Stage3Image() const { return fStage3Image.get(); }
    void SetStage1Image(std::unique_ptr<dng_image> image);
    void SetStage2Image(std::unique_ptr<dng_image> image);
    void SetStage3Image(std::unique_ptr<dng_image> image);
    std::unique_ptr<dng_image> TakeStage3Image();
    // The stage-3 image before any flattening, else stage 3.
    const dng_image* UnflattenedStage3Image() const {
        return fUnflattenedStage3Image ? fUnflattenedStage3Image.get() : fStage3Image.get();
    }
    // The first of: the raw image copy, stage 1, stage 3 (dng_error_unknown
    // without any).
    const dng_image& RawImage() const;
    uint32 RawImageStage() const { return fRawImageStage; }
    uint16 RawImageBlackLevel() const;
    uint32 RawFloatBitDepth() const { return fRawFloatBitDepth; }
    void SetRawFloatBitDepth(uint32 depth) { fRawFloatBitDepth = depth; }
    // The raw data as lossy-JPEG tiles, when the negative keeps them.
    const dng_jpeg_image* RawJPEGImage() const { return fRawJPEGImage.get(); }
    void SetRawJPEGImage(std::unique_ptr<dng_jpeg_image> image);
    void ClearRawJPEGImage();
    const dng_fingerprint& RawJPEGImageDigest() const { return fRawJPEGImageDigest; }
    void SetRawJPEGImageDigest(const dng_fingerprint& digest) { fRawJPEGImageDigest = digest; }
    // dng_error_unknown without a raw JPEG image.
    void FindRawJPEGImageDigest(dng_host& host);
    real64 Stage3Gain() const { return fStage3Gain; }
    uint16 Stage3BlackLevel() const { return fStage3BlackLevel; }
    void SetStage3BlackLevel(uint16 level) override { fStage3BlackLevel = level; }
    const dng_image* TransparencyMask() const { return fTransparencyMask.get(); }
    void SetTransparencyMask(std::unique_ptr<dng_image> mask, uint32 bitDepth = 0);
    const dng_image* AuxiliaryImage() const { return fAuxiliaryImage.get(); }
    // The depth map a DNG file carries: the raw copy when there is one.
    const dng_image* RawAuxiliaryImage() const {
        return fRawAuxiliaryImage ? fRawAuxiliaryImage.get() : fAuxiliaryImage.get();
    }
    void SetAuxiliaryParameters(uint32 format, const dng_urational& nearValue,
                                const dng_urational& farValue, uint32 units, uint32 measureType) {
        fAuxiliaryFormat = format;
        fAuxiliaryNear = nearValue;
        fAuxiliaryFar = farValue;
        fAuxiliaryUnits = units;
        fAuxiliaryMeasureType = measureType;
    }
    uint32 AuxiliaryFormat() const { return fAuxiliaryFormat; }
    const dng_urational& AuxiliaryNear() const { return fAuxiliaryNear; }
    const dng_urational& AuxiliaryFar() const { return fAuxiliaryFar; }
    uint32 AuxiliaryUnits() const { return fAuxiliaryUnits; }
    uint32 AuxiliaryMeasureType() const { return fAuxiliaryMeasureType; }
    void SetAuxiliaryImage(std::unique_ptr<dng_image> image);

    bool IsPreview() const { return fIsPreview; }
    void SetIsPreview(bool preview) { fIsPreview = preview; }

    // ---- stage building -------------------------------------------------
    void BuildStage2Image(dng_host& host);
    void BuildStage3Image(dng_host& host, int32 srcPlane = -1);

    // ---- reading a DNG --------------------------------------------------
    virtual void Parse(dng_host& host, dng_stream& stream, dng_info& info);
    virtual void PostParse(dng_host& host, dng_stream& stream, dng_info& info);
    virtual void ReadOpcodeLists(dng_host& host, dng_stream& stream, dng_info& info);
    virtual void ReadStage1Image(dng_host& host, dng_stream& stream, dng_info& info);
    // Reads the enhanced (already processed) image as stage 3; the raw image
    // is read as well only when the host saves a mosaic DNG.
    virtual void ReadEnhancedImage(dng_host& host, dng_stream& stream, dng_info& info);
    // -1 when the file has no such image; else the directory index read.
    int32 ReadTransparencyMask(dng_host& host, dng_stream& stream, dng_info& info);
    int32 ReadAuxiliaryImage(dng_host& host, dng_stream& stream, dng_info& info);

    // ---- proxy ----------------------------------------------------------
    // Reduces a built negative (stage 3 present) to a proxy of at most
    // proxySize pixels on a side and proxyCount in area (0: 65000 and
    // proxySize squared): cropped, resampled and re-encoded as 8-bit gamma
    // data with one MapPolynomial per plane in opcode list 2 that restores
    // the linear values (a float stage 3 becomes 16-bit float data). A
    // negative that already is a proxy is left alone. The lossy-JPEG record
    // stays empty: the writer stores the 8-bit raw image losslessly.
    // 100000, with nothing changed, without stage 3, with more than four
    // planes or with a default crop that is empty or outside stage 3.
    void ConvertToProxy(dng_host& host, dng_image_writer& writer, uint32 proxySize = 0,
                        uint64 proxyCount = 0);
    // The 8-bit proxy encoding of a 16-bit image (none for other pixel
    // types), its decoding polynomials appended to opcodeList and each
    // plane's code offset in offsets[0..3].
    std::unique_ptr<dng_image> EncodeRawProxy(dng_host& host, const dng_image& srcImage,
                                              dng_opcode_list& opcodeList, real64* offsets) const;

    virtual void ResizeTransparencyToMatchStage3(dng_host& host, bool convertTo8Bit = false);
    virtual void ResizeAuxiliaryToMatchStage3(dng_host& host);
    const dng_image* RawTransparencyMask() const {
        return fRawTransparencyMask ? fRawTransparencyMask.get() : fTransparencyMask.get();
    }
    uint32 RawTransparencyMaskBitDepth() const;
    const dng_string& UniqueIDQualifier() const { return fUniqueIDQualifier; }

    // dng_linearization_source.
    bool Stage2KeepsBlackLevel(dng_host& host, const dng_image& srcImage,
                               const dng_image& dstImage) const override;
    bool Stage3BlackLevelDisabled() const override { return false; }
    bool Stage3BlackLevelAtLeast1028() const override { return false; }

protected:
    explicit dng_negative(dng_host& host);

    virtual void Initialize() {}
    virtual std::unique_ptr<dng_linearization_info> MakeLinearizationInfo();
    virtual std::unique_ptr<dng_mosaic_info> MakeMosaicInfo();
    virtual void DoBuildStage2(dng_host& host);
    virtual void DoPostOpcodeList2(dng_host&) {}
    virtual bool NeedDefloatStage2(dng_host& host);
    virtual void DefloatStage2(dng_host& host);
    virtual void DoInterpolateStage3(dng_host& host, int32 srcPlane);
    virtual void DoMergeStage3(dng_host& host);
    virtual void DoBuildStage3(dng_host& host, int32 srcPlane);
    // Called by ConvertToProxy once the raw data, linearization, mosaic and
    // opcode lists are gone.
    virtual void PrepareProxy(dng_host&) {}

    void NeedLinearizationInfo();
    void NeedMosaicInfo();

private:
    void TakeRawCopies(bool mask);
    bool IsProxy(uint32 proxySize, uint64 proxyCount) const;
    void CheckProxySource() const;
    void ClearRawDerivedDigests();
    // Waits for a digest StartRawImageDigest began; its failure is kept for
    // FindRawImageDigest.
    void JoinRawImageDigest();

    dng_memory_allocator& fAllocator;

    dng_string fModelName;
    dng_string fLocalName;

    dng_urational fDefaultCropSizeH;
    dng_urational fDefaultCropSizeV;
    dng_urational fDefaultCropOriginH{0, 1};
    dng_urational fDefaultCropOriginV{0, 1};
    dng_urational fDefaultUserCropT{0, 1};
    dng_urational fDefaultUserCropL{0, 1};
    dng_urational fDefaultUserCropB{1, 1};
    dng_urational fDefaultUserCropR{1, 1};
    dng_urational fDefaultScaleH{1, 1};
    dng_urational fDefaultScaleV{1, 1};
    dng_urational fBestQualityScale{1, 1};
    dng_point fOriginalDefaultFinalSize;
    dng_point fOriginalBestQualityFinalSize;
    dng_urational fOriginalDefaultCropSizeH;
    dng_urational fOriginalDefaultCropSizeV;
    real64 fRawToFullScaleH = 1.0;
    real64 fRawToFullScaleV = 1.0;

    dng_urational fBaselineNoise{100, 100};
    dng_urational fNoiseReductionApplied{0, 0};
    dng_urational fOriginalNoiseReductionApplied{0, 0};
    dng_noise_profile fNoiseProfile;
    dng_noise_profile fOriginalNoiseProfile;
    dng_srational fBaselineExposure{0, 100};
    dng_urational fBaselineSharpness{100, 100};
    dng_urational fOriginalBaselineSharpness{0, 0};
    dng_urational fChromaBlurRadius{0, 0};
    dng_urational fAntiAliasStrength{100, 100};
    dng_urational fLinearResponseLimit{100, 100};
    dng_urational fShadowScale{1, 1};
    uint32 fColorimetricReference = 0;
    bool fFloatingPoint = false;

    uint32 fColorChannels = 0;
    dng_vector fAnalogBalance;
    dng_vector fCameraNeutral;
    real64 fCameraWhiteX = 0.0;
    real64 fCameraWhiteY = 0.0;
    dng_matrix fCameraCalibration1;
    dng_matrix fCameraCalibration2;
    dng_string fCameraCalibrationSignature;

    std::vector<std::unique_ptr<dng_camera_profile>> fCameraProfiles;
    dng_string fAsShotProfileName;

    dng_fingerprint fRawImageDigest;
    dng_fingerprint fNewRawImageDigest;
    mutable std::mutex fRawDataUniqueIDLock;
    dng_fingerprint fRawDataUniqueID;
    dng_string fOriginalRawFileName;
    bool fHasOriginalRawFileData = false;
    std::unique_ptr<dng_memory_block> fOriginalRawFileData;
    dng_fingerprint fOriginalRawFileDigest;
    std::unique_ptr<dng_memory_block> fDNGPrivateData;

    std::unique_ptr<dng_metadata> fMetadata;

    std::unique_ptr<dng_linearization_info> fLinearizationInfo;
    std::unique_ptr<dng_mosaic_info> fMosaicInfo;

    dng_opcode_list fOpcodeList1{1};
    dng_opcode_list fOpcodeList2{2};
    dng_opcode_list fOpcodeList3{3};

    std::unique_ptr<dng_image> fStage1Image;
    std::unique_ptr<dng_image> fStage2Image;
    std::unique_ptr<dng_image> fStage3Image;
    std::unique_ptr<dng_image> fUnflattenedStage3Image;
    real64 fStage3Gain = 1.0;
    uint16 fStage3BlackLevel = 0;

    bool fIsPreview = false;
    bool fIsDamaged = false;

    uint32 fRawImageStage = kRawImageStageNone;
    std::unique_ptr<dng_image> fRawImage;
    // The classic raw digest being computed by StartRawImageDigest.
    std::unique_ptr<platform::DispatchGroup> fRawDigestPending;
    std::exception_ptr fRawDigestError;
    uint16 fRawImageBlackLevel = 0;
    uint32 fRawFloatBitDepth = 0;
    std::unique_ptr<dng_jpeg_image> fRawJPEGImage;
    dng_fingerprint fRawJPEGImageDigest;

    std::unique_ptr<dng_image> fTransparencyMask;
    std::unique_ptr<dng_image> fRawTransparencyMask;
    uint32 fRawTransparencyMaskBitDepth = 0;

    bool fHasAuxiliaryImage = false;
    std::unique_ptr<dng_image> fAuxiliaryImage;
    std::unique_ptr<dng_image> fRawAuxiliaryImage;
    uint32 fAuxiliaryFormat = 0;
    dng_urational fAuxiliaryNear;
    dng_urational fAuxiliaryFar;
    uint32 fAuxiliaryUnits = 0;
    uint32 fAuxiliaryMeasureType = 0;

    dng_string fUniqueIDQualifier;
};
