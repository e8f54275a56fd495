#include "platform/IccTransform.h"

#include <lcms2.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/IccLcms.h"

namespace platform {

namespace {

void setReason(std::string* failureReason, const std::string& text) {
    if (failureReason) *failureReason = text;
}

cmsUInt32Number pixelType(IccSignature space) {
    switch (space) {
        case iccsig::kRGB:
            return PT_RGB;
        case iccsig::kLab:
            return PT_Lab;
        case iccsig::kXYZ:
            return PT_XYZ;
        case iccSignature("YCbr"):
            return PT_YCbCr;
        case iccSignature("Luv "):
            return PT_YUV;
        case iccSignature("Yxy "):
            return PT_Yxy;
        case iccSignature("HSV "):
            return PT_HSV;
        case iccSignature("HLS "):
            return PT_HLS;
        case iccSignature("CMY "):
            return PT_CMY;
        default:
            return PT_MCH3;
    }
}

cmsUInt32Number formatFor(IccSignature space, IccPixelLayout layout) {
    const cmsUInt32Number base = COLORSPACE_SH(pixelType(space)) | CHANNELS_SH(3);
    switch (layout) {
        case IccPixelLayout::rgba16:
            return base | EXTRA_SH(1) | BYTES_SH(2);
        case IccPixelLayout::rgbaFloat:
            return base | EXTRA_SH(1) | BYTES_SH(4) | FLOAT_SH(1);
        case IccPixelLayout::rgbFloat:
            return base | BYTES_SH(4) | FLOAT_SH(1);
    }
    return 0;
}

struct OpenProfile {
    cmsHPROFILE handle = nullptr;
    OpenProfile(cmsContext ctx, const IccProfile& p)
        : handle(cmsOpenProfileFromMemTHR(ctx, p.bytes().data(),
                                          static_cast<cmsUInt32Number>(p.bytes().size()))) {}
    ~OpenProfile() {
        if (handle) cmsCloseProfile(handle);
    }
    OpenProfile(const OpenProfile&) = delete;
    OpenProfile& operator=(const OpenProfile&) = delete;
};

}  // namespace

std::size_t iccPixelBytes(IccPixelLayout layout) {
    switch (layout) {
        case IccPixelLayout::rgba16:
            return 8;
        case IccPixelLayout::rgbaFloat:
            return 16;
        case IccPixelLayout::rgbFloat:
            return 12;
    }
    return 0;
}

IccTransform::IccTransform(std::shared_ptr<const IccProfile> source,
                           std::shared_ptr<const IccProfile> destination)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      context_(std::make_unique<icc::Context>()) {}

IccTransform::~IccTransform() {
    for (auto& p : prepared_)
        if (p.handle) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(p.handle));
}

std::shared_ptr<const IccTransform> IccTransform::create(
    std::shared_ptr<const IccProfile> source, std::shared_ptr<const IccProfile> destination,
    std::string* failureReason) {
    if (!source || !destination) {
        setReason(failureReason, "a colour transform needs two profiles");
        return nullptr;
    }
    return std::shared_ptr<const IccTransform>(
        new IccTransform(std::move(source), std::move(destination)));
}

void* IccTransform::prepared(IccPixelLayout layout, std::string* failureReason) const {
    Prepared& p = prepared_[static_cast<std::size_t>(layout)];
    std::call_once(p.once, [&] {
        if (source_->channelCount() != 3 || destination_->channelCount() != 3) {
            p.failure = "cannot convert " + iccSignatureText(source_->colorSpace()) + " to " +
                        iccSignatureText(destination_->colorSpace()) + " in place";
            return;
        }
        cmsContext ctx = context_->get();
        OpenProfile src(ctx, *source_), dst(ctx, *destination_);
        if (!src.handle || !dst.handle) {
            p.failure = "lcms2 cannot open the profiles: " + context_->lastError();
            return;
        }
        cmsHPROFILE profiles[2] = {src.handle, dst.handle};
        cmsBool blackPoint[2] = {FALSE, FALSE};
        cmsUInt32Number intents[2] = {
            static_cast<cmsUInt32Number>(source_->renderingIntent()),
            static_cast<cmsUInt32Number>(destination_->renderingIntent())};
        cmsFloat64Number adaptation[2] = {1.0, 1.0};
        cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_HIGHRESPRECALC;
        if (layout != IccPixelLayout::rgbFloat) flags |= cmsFLAGS_COPY_ALPHA;
        p.handle = cmsCreateExtendedTransform(ctx, 2, profiles, blackPoint, intents, adaptation,
                                              nullptr, 0, formatFor(source_->colorSpace(), layout),
                                              formatFor(destination_->colorSpace(), layout), flags);
        if (!p.handle) p.failure = "lcms2 cannot join the profiles: " + context_->lastError();
    });
    if (!p.handle) setReason(failureReason, p.failure);
    return p.handle;
}

bool IccTransform::convert(void* pixels, std::size_t width, std::size_t height,
                           std::size_t rowBytes, IccPixelLayout layout,
                           std::string* failureReason) const {
    return convert(pixels, rowBytes, pixels, rowBytes, width, height, layout, failureReason);
}

bool IccTransform::convert(const void* source, std::size_t sourceRowBytes, void* destination,
                           std::size_t destinationRowBytes, std::size_t width, std::size_t height,
                           IccPixelLayout layout, std::string* failureReason) const {
    if (width == 0 || height == 0) return true;
    constexpr std::size_t kMax32 = std::numeric_limits<cmsUInt32Number>::max();
    const std::size_t pixelBytes = iccPixelBytes(layout);
    if (!source || !destination || width > kMax32 / pixelBytes ||
        width * pixelBytes > sourceRowBytes || width * pixelBytes > destinationRowBytes ||
        sourceRowBytes > kMax32 || destinationRowBytes > kMax32) {
        setReason(failureReason, "impossible pixel geometry for a colour conversion");
        return false;
    }
    auto* handle = static_cast<cmsHTRANSFORM>(prepared(layout, failureReason));
    if (!handle) return false;
    const auto* in = static_cast<const std::uint8_t*>(source);
    auto* out = static_cast<std::uint8_t*>(destination);
    // lcms2 counts lines in 32 bits; very tall images go in slices.
    constexpr std::size_t kSlice = 1u << 20;
    for (std::size_t row = 0; row < height; row += kSlice) {
        const std::size_t lines = std::min(kSlice, height - row);
        cmsDoTransformLineStride(handle, in + row * sourceRowBytes, out + row * destinationRowBytes,
                                 static_cast<cmsUInt32Number>(width),
                                 static_cast<cmsUInt32Number>(lines),
                                 static_cast<cmsUInt32Number>(sourceRowBytes),
                                 static_cast<cmsUInt32Number>(destinationRowBytes), 0, 0);
    }
    return true;
}

bool IccTransform::convertConcurrently(void* pixels, std::size_t width, std::size_t height,
                                       std::size_t rowBytes, IccPixelLayout layout,
                                       std::string* failureReason) const {
    // Bands of at least 64 rows; small images are not worth the hand-off.
    const std::size_t bands = std::min<std::size_t>(processorCount(), height / 64);
    if (bands <= 1 || width * height < 65536)
        return convert(pixels, width, height, rowBytes, layout, failureReason);
    // Check once so that every band either runs or none does.
    if (!pixels || width > rowBytes / iccPixelBytes(layout)) {
        setReason(failureReason, "impossible pixel geometry for a colour conversion");
        return false;
    }
    if (!prepared(layout, failureReason)) return false;
    auto* base = static_cast<std::uint8_t*>(pixels);
    const std::size_t band = (height + bands - 1) / bands;
    std::atomic<bool> ok{true};
    apply(bands, DispatchQueue::global(QueuePriority::High), [&](std::size_t i) {
        const std::size_t first = i * band;
        if (first < height && !convert(base + first * rowBytes, width,
                                       std::min(band, height - first), rowBytes, layout))
            ok = false;
    });
    return ok;
}

}  // namespace platform
