// An ICC profile as the application names colour spaces: its class and colour-space
// signatures, description and file, or the "Automatic" choice that stands for no profile.
//
// Ownership: shared through std::shared_ptr. A wrap owns its platform profile (csRef) and
// colour space once they are made; iterated wraps (installed profiles from the list) read their
// file only when csRef() is first asked for.
//
// Thread safety: every method may be called from several threads. The lazy members (csRef,
// cgColorSpace, description) are each made once under the wrap's own lock; enableLog() is the
// only mutator and may race only with logging.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/IccColorSpace.h"
#include "platform/IccProfile.h"
#include "platform/Value.h"

class ColorSyncProfileWrap : public platform::Object {
public:
    using Ptr = std::shared_ptr<ColorSyncProfileWrap>;

    // The automatic profile: no profile, no file, description "Automatic".
    static Ptr initAsAutoProfile();
    // A profile from a copy of the bytes; null when they are missing or not a profile.
    static Ptr initWithBuffer(const void* buffer, std::uint32_t bufferSize);
    // A profile from a file; null on failure (logged).
    static Ptr initWithCFPath(const std::string& path);
    // An installed profile as the iteration reports it; its file is read on first csRef().
    static Ptr initWithIterateData(const platform::IccInstalledProfile& entry);
    // The platform's sRGB, linear RGB and Lab profiles; null when the platform gives none.
    static Ptr initWithSRGB();
    static Ptr initWithLinearRGB();
    static Ptr initWithLAB();
    // The object a property list describes (see objectSerializeForPList): a profile from its
    // path, the known profile of that description (null when none matches), or the automatic
    // profile.
    static Ptr initFromPList(const platform::Dictionary& plist);

    static Ptr profileWithSRGB() { return initWithSRGB(); }
    static Ptr profileWithLinearRGB() { return initWithLinearRGB(); }
    static Ptr profileDefaultLAB() { return initWithLAB(); }
    static Ptr profileWithIterateData(const platform::IccInstalledProfile& entry) {
        return initWithIterateData(entry);
    }
    static Ptr profileWithPath(const std::string& path) { return initWithCFPath(path); }
    // The profiles named by the user defaults "DefaultRGBProfile", "DefaultGrayProfile" and
    // "DefaultCMYKProfile"; null when unset or unreadable.
    static Ptr profileDefaultRGB();
    static Ptr profileDefaultGray();
    static Ptr profileDefaultCMYK();

    ~ColorSyncProfileWrap() override;
    ColorSyncProfileWrap(const ColorSyncProfileWrap&) = delete;
    ColorSyncProfileWrap& operator=(const ColorSyncProfileWrap&) = delete;

    bool isAutoProfile() const;
    // The platform profile, read from the file on first use; null for the automatic profile.
    std::shared_ptr<const platform::IccProfile> csRef() const;
    // The colour space made once from csRef(); null without a profile.
    std::shared_ptr<const platform::IccColorSpace> cgColorSpace() const;
    // The file the profile reference reports; none before the reference is made and for
    // profiles made from bytes or by name.
    std::optional<std::filesystem::path> url() const;
    // url()'s path; empty when there is no URL.
    std::string path() const;
    std::int32_t classType() const { return mClass; }
    std::int32_t spaceType() const { return mSpace; }
    // The given name, else the profile's description (fetched once).
    std::string description() const;

    // Hash of the URL's last path component, or of the description without a URL.
    std::size_t hash() const;
    // Same object, or both have the same non-empty path.
    bool isEqual(const ColorSyncProfileWrap* other) const;
    bool operator==(const ColorSyncProfileWrap& other) const { return isEqual(&other); }
    bool isEqualTo(const platform::Object& other) const override {
        return isEqual(dynamic_cast<const ColorSyncProfileWrap*>(&other));
    }
    std::string className() const override { return "ColorSyncProfileWrap"; }

    // Key-value coding of an unknown key: prints "Called" and answers "0".
    std::string valueForUndefinedKey(const std::string& key) const;

    // A dictionary: the class marker, and the description and file path when known.
    platform::Value objectSerializeForPList() const override;

    void enableLog(bool enable) { doLog = enable; }
    bool logThisObject() const { return false; }

private:
    ColorSyncProfileWrap() = default;

    mutable std::mutex lazyMutex_;  // guards the lazily made members below
    mutable std::shared_ptr<const platform::IccProfile> mRef;
    mutable bool refAttempted_ = false;
    std::int32_t mClass = 0;
    std::int32_t mSpace = 0;
    mutable std::shared_ptr<const platform::IccColorSpace> mColorspace;
    mutable std::optional<std::string> mName;
    std::string mPath;
    std::optional<std::filesystem::path> mURL;
    std::atomic<bool> doLog{false};
};
