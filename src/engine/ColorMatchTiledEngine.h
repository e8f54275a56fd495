// Converts a whole pixel buffer in place from one ICC profile to another.
// Used on its own rather than as a pipeline stage: the output stage converts
// rendered tiles into the display's or an export's profile with it, and the
// Photo CD source converts its decoded image into the working space.
// Input and output: the buffer's own format (16-bit or float RGBA, alpha
// passed through). No settings keys. No halo (tile routines do nothing).
//
// Ownership: holds both profiles and the transform of the last conversion.
// Thread safety: made, used and released by one thread.
#pragma once

#include "engine/TiledEngine.h"
#include "platform/IccTransform.h"

class ColorMatchTiledEngine : public TiledEngine {
public:
    // The buffer's size; no image id; releases its precursors.
    explicit ColorMatchTiledEngine(platform::Size size);
    static std::shared_ptr<ColorMatchTiledEngine> initWithSize(platform::Size size);

    std::string engineName() const override;

    const ColorSyncProfileWrap::Ptr& srcProfile() const { return srcProfile_; }
    void setSrcProfile(ColorSyncProfileWrap::Ptr p) { srcProfile_ = std::move(p); }
    const ColorSyncProfileWrap::Ptr& destProfile() const { return destProfile_; }
    void setDestProfile(ColorSyncProfileWrap::Ptr p) { destProfile_ = std::move(p); }
    const std::shared_ptr<const platform::IccTransform>& transform() const { return transform_; }

    // Converts in place and labels the buffer with the destination profile.
    // On failure (logged) the buffer keeps its pixels and its source label
    // and the answer is false, with the reason when asked: empty when memory
    // ran short, so that the caller says it in its own words.
    bool convertBuffer(ImageBuffer& buffer, std::string* failureReason = nullptr);

    // Runs the source over the region and converts its output; null without
    // a source.
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    void processTile(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}

private:
    ColorSyncProfileWrap::Ptr srcProfile_;
    ColorSyncProfileWrap::Ptr destProfile_;
    std::shared_ptr<const platform::IccTransform> transform_;
};
