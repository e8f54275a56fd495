#include "engine/ColorMatchTiledEngine.h"

#include <cstdio>
#include <new>

#include "platform/Log.h"

namespace {

const char* const kConvertMethod = "-[ColorMatchTiledEngine convertBuffer:]";

std::string pointerName(const char* format, const void* p) {
    char name[96];
    std::snprintf(name, sizeof name, format, p);
    return name;
}

}  // namespace

ColorMatchTiledEngine::ColorMatchTiledEngine(platform::Size size)
    : TiledEngine(size, std::nullopt, true) {}

std::shared_ptr<ColorMatchTiledEngine> ColorMatchTiledEngine::initWithSize(platform::Size size) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<ColorMatchTiledEngine>(size);
}

std::string ColorMatchTiledEngine::engineName() const {
    return pointerName("QuorvexRawColorMatchEngine_%p", this);
}

bool ColorMatchTiledEngine::convertBuffer(ImageBuffer& buffer, std::string* failureReason) {
    std::string reason;
    bool ok = false;
    try {
        transform_.reset();
        if (srcProfile_ && destProfile_)
            transform_ = platform::IccTransform::shared(srcProfile_->csRef(), destProfile_->csRef(),
                                                        &reason);
        if (transform_ && buffer.pixelBase()) {
            const auto layout = buffer.isFloat() ? platform::IccPixelLayout::rgbaFloat
                                                 : platform::IccPixelLayout::rgba16;
            ok = transform_->convertConcurrently(buffer.pixelBase(), buffer.imageWidth(),
                                                 buffer.imageHeight(), buffer.rowStepInBytes(),
                                                 layout, &reason);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
        reason = {};
        platform::log("%s not enough memory", kConvertMethod);
    }
    if (!ok) {
        platform::log("%s error in ColorSyncTransformConvert", kConvertMethod);
        if (!reason.empty()) platform::log("%s %s", kConvertMethod, reason.c_str());
        if (reason == platform::IccTransform::kNoMemoryReason) reason.clear();
        if (failureReason) *failureReason = std::move(reason);
        return false;
    }
    buffer.setBufferProfile(destProfile_);
    return true;
}

std::shared_ptr<TileProcess> ColorMatchTiledEngine::runProcessToCompletion(
    const TileRegion& region) {
    auto source = sourceBuf();
    if (!source) return nullptr;
    auto process = source->runProcessToCompletion(region);
    std::string why;
    if (process)
        if (auto buffer = process->buffer(); buffer && !convertBuffer(*buffer, &why))
            process->setError("the colour conversion failed: " +
                              (why.empty() ? std::string("not enough memory") : why));
    return process;
}
