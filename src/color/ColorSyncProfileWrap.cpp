#include "color/ColorSyncProfileWrap.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <string>

#include "color/ProfileManager.h"
#include "platform/IccBuiltins.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kClassKey = "Class_of_serialized_Object";
constexpr const char* kClassName = "ColorSyncProfileWrap";
constexpr const char* kDescriptionKey = "ScannerProfileDescription";
constexpr const char* kPathKey = "ScannerProfilePath";
constexpr const char* kURLKey = "ScannerProfileURL";

// "file:///a%20b" to "/a b"; anything that is not a file URL is taken as a path.
std::string pathOfURL(const std::string& url) {
    std::string rest = url;
    if (rest.rfind("file://", 0) == 0) {
        rest.erase(0, 7);
        if (rest.rfind("localhost/", 0) == 0) rest.erase(0, 9);
    }
    std::string out;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() &&
            std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
            out += static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += rest[i];
        }
    }
    return out;
}

}  // namespace

ColorSyncProfileWrap::~ColorSyncProfileWrap() {
    if (doLog) platform::log("-[ColorSyncProfileWrap dealloc] %s", mName ? mName->c_str() : "");
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initAsAutoProfile() {
    Ptr wrap(new ColorSyncProfileWrap);
    wrap->mName = "Automatic";
    wrap->refAttempted_ = true;
    return wrap;
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithBuffer(const void* buffer,
                                                               std::uint32_t bufferSize) {
    if (!buffer || bufferSize == 0) return nullptr;
    std::string reason;
    auto profile = platform::IccProfile::fromBytes(buffer, bufferSize, &reason);
    if (!profile) {
        platform::log(">> %s", reason.c_str());
        return nullptr;
    }
    Ptr wrap(new ColorSyncProfileWrap);
    wrap->mClass = profile->profileClass();
    wrap->mSpace = profile->colorSpace();
    wrap->mRef = std::move(profile);
    wrap->refAttempted_ = true;
    return wrap;
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithCFPath(const std::string& path) {
    if (path.empty()) return nullptr;
    std::string reason;
    auto profile = platform::IccProfile::fromFile(path, &reason);
    if (!profile) {
        platform::log(">> %s", reason.c_str());
        return nullptr;
    }
    Ptr wrap(new ColorSyncProfileWrap);
    wrap->mURL = std::filesystem::path(path);
    wrap->mPath = path;
    wrap->mClass = profile->profileClass();
    wrap->mSpace = profile->colorSpace();
    wrap->mRef = std::move(profile);
    wrap->refAttempted_ = true;
    return wrap;
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithIterateData(
    const platform::IccInstalledProfile& entry) {
    Ptr wrap(new ColorSyncProfileWrap);
    wrap->mClass = entry.profileClass;
    wrap->mSpace = entry.colorSpace;
    if (!entry.description.empty()) wrap->mName = entry.description;
    wrap->mURL = entry.path;
    wrap->mPath = entry.path.string();
    return wrap;
}

namespace {

ColorSyncProfileWrap::Ptr wrapNamed(platform::IccNamedProfile name) {
    const auto profile = platform::IccProfile::named(name);
    if (!profile) return nullptr;
    const auto& bytes = profile->bytes();
    return ColorSyncProfileWrap::initWithBuffer(bytes.data(),
                                                static_cast<std::uint32_t>(bytes.size()));
}

ColorSyncProfileWrap::Ptr wrapDefault(const char* key) {
    const std::string path = platform::UserDefaults::standard().stringForKey(key);
    return path.empty() ? nullptr : ColorSyncProfileWrap::profileWithPath(path);
}

}  // namespace

// The class and space of these come from their headers: the Lab profile is no RGB display.
ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithSRGB() {
    return wrapNamed(platform::IccNamedProfile::sRGB);
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithLinearRGB() {
    return wrapNamed(platform::IccNamedProfile::linearRGB);
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initWithLAB() {
    return wrapNamed(platform::IccNamedProfile::genericLab);
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::profileDefaultRGB() {
    return wrapDefault("DefaultRGBProfile");
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::profileDefaultGray() {
    return wrapDefault("DefaultGrayProfile");
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::profileDefaultCMYK() {
    return wrapDefault("DefaultCMYKProfile");
}

ColorSyncProfileWrap::Ptr ColorSyncProfileWrap::initFromPList(const platform::Dictionary& plist) {
    std::optional<std::string> path;
    if (const auto* p = plist.find(kPathKey); p && p->isString())
        path = p->string();
    else if (const auto* u = plist.find(kURLKey); u && u->isString())
        path = pathOfURL(u->string());
    if (path) {
        if (auto wrap = initWithCFPath(*path)) return wrap;
        return initAsAutoProfile();
    }
    if (const auto* d = plist.find(kDescriptionKey); d && d->isString())
        return ProfileManager::sharedManager().findMatchingProfile(d->string());
    return initAsAutoProfile();
}

bool ColorSyncProfileWrap::isAutoProfile() const {
    std::lock_guard lock(lazyMutex_);
    return !mRef && !mURL;
}

std::shared_ptr<const platform::IccProfile> ColorSyncProfileWrap::csRef() const {
    std::lock_guard lock(lazyMutex_);
    if (!refAttempted_) {
        refAttempted_ = true;
        if (mURL) {
            std::string reason;
            mRef = platform::IccProfile::fromFile(*mURL, &reason);
            if (!mRef)
                platform::log(">> %s", reason.c_str());
            else if (doLog)
                platform::log("-[ColorSyncProfileWrap csRef] %s", mURL->c_str());
        }
    }
    return mRef;
}

std::shared_ptr<const platform::IccColorSpace> ColorSyncProfileWrap::cgColorSpace() const {
    const auto profile = csRef();
    std::lock_guard lock(lazyMutex_);
    if (!mColorspace && profile) mColorspace = platform::IccColorSpace::withProfile(profile);
    return mColorspace;
}

std::optional<std::filesystem::path> ColorSyncProfileWrap::url() const {
    std::lock_guard lock(lazyMutex_);
    if (!mRef || mRef->filePath().empty()) return std::nullopt;
    return mRef->filePath();
}

std::string ColorSyncProfileWrap::path() const {
    const auto u = url();
    return u ? u->string() : std::string();
}

std::string ColorSyncProfileWrap::description() const {
    {
        std::lock_guard lock(lazyMutex_);
        if (mName) return *mName;
    }
    const auto profile = csRef();
    std::lock_guard lock(lazyMutex_);
    if (!mName && profile) mName = profile->description();
    return mName.value_or(std::string());
}

std::size_t ColorSyncProfileWrap::hash() const {
    const auto u = url();
    return std::hash<std::string>{}(u ? u->filename().string() : description());
}

bool ColorSyncProfileWrap::isEqual(const ColorSyncProfileWrap* other) const {
    if (other == this) return true;
    if (!other) return false;
    const std::string mine = path();
    return !mine.empty() && mine == other->path();
}

std::string ColorSyncProfileWrap::valueForUndefinedKey(const std::string& /*key*/) const {
    std::fputs("Called", stdout);
    return "0";
}

platform::Value ColorSyncProfileWrap::objectSerializeForPList() const {
    platform::Dictionary plist{{kClassKey, platform::Value(kClassName)}};
    const auto u = url();
    bool hasRef;
    {
        std::lock_guard lock(lazyMutex_);
        hasRef = mRef != nullptr;
    }
    if (u) {
        plist.set(kDescriptionKey, description());
        plist.set(kPathKey, u->string());
    } else if (hasRef) {
        plist.set(kDescriptionKey, description());
    }
    return plist;
}
