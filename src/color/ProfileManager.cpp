#include "color/ProfileManager.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "platform/AsciiCase.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kShowExternalProfiles = "ShowExternalProfiles";

bool isListedSpace(std::int32_t space) {
    namespace sig = platform::iccsig;
    return space == sig::kRGB || space == sig::kGray || space == sig::kCMYK || space == sig::k3CLR;
}

bool isListedClass(std::int32_t cls) {
    namespace sig = platform::iccsig;
    return cls == sig::kColorSpaceClass || cls == sig::kInputClass || cls == sig::kDisplayClass ||
           cls == sig::kOutputClass;
}

}  // namespace

ProfileManager& ProfileManager::sharedManager() {
    // Made once under the runtime's lock for statics and never destroyed.
    // The list is made when first read (ensureProfilesArray).
    static ProfileManager* manager = [] {
        auto* m = new ProfileManager;
        platform::UserDefaults::standard().addObserver(
            kShowExternalProfiles, [m](const std::string& key, const platform::Value& value) {
                m->observeValueForKeyPath(key, value);
            });
        return m;
    }();
    return *manager;
}

ProfileManager::ProfileManager() = default;

void ProfileManager::observeValueForKeyPath(const std::string& keyPath,
                                            const platform::Value& /*newValue*/) {
    if (keyPath == kShowExternalProfiles) buildProfilesArray();
}

ProfileManager::Token ProfileManager::addProfilesObserver(ProfilesObserver observer) {
    std::lock_guard lock(observersMutex_);
    const Token token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void ProfileManager::removeProfilesObserver(Token token) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(token);
}

// The scanner profiles head the list in this order.
struct ProfileManager::Scanner {
    platform::IccBuiltin which;
    WrapPtr (ProfileManager::*getter)();
};

const ProfileManager::Scanner ProfileManager::kScanners[6] = {
    {platform::IccBuiltin::photoCD2e, &ProfileManager::getPhotoCD2eProfile},
    {platform::IccBuiltin::photoCD4e, &ProfileManager::getPhotoCD4eProfile},
    {platform::IccBuiltin::photoCD2k, &ProfileManager::getPhotoCD2kProfile},
    {platform::IccBuiltin::photoCD4k, &ProfileManager::getPhotoCD4kProfile},
    {platform::IccBuiltin::photoCDXn, &ProfileManager::getPhotoCDXnProfile},
    {platform::IccBuiltin::photoCDXg, &ProfileManager::getPhotoCDXgProfile}};

std::vector<ProfileManager::WrapPtr> ProfileManager::listedExternalProfiles() const {
    std::vector<WrapPtr> list;
    if (platform::UserDefaults::standard().boolForKey(kShowExternalProfiles)) {
        for (auto& wrap : arrayOfAllExternalProfiles()) {
            if (isListedSpace(wrap->spaceType()) && isListedClass(wrap->classType()) &&
                !wrap->description().empty())
                list.push_back(std::move(wrap));
        }
    }
    return list;
}

std::vector<ProfileManager::WrapPtr> ProfileManager::makeProfilesArray() {
    std::vector<WrapPtr> list;
    for (const Scanner& scanner : kScanners) {
        if (auto wrap = (this->*scanner.getter)()) list.push_back(std::move(wrap));
    }
    for (auto& wrap : listedExternalProfiles()) list.push_back(std::move(wrap));
    return list;
}

void ProfileManager::ensureProfilesArray() const {
    if (listBuilt_.load(std::memory_order_acquire)) return;
    // Made outside the lock (the scanner profiles take a while); a rebuild
    // that lands meanwhile wins.
    auto list = const_cast<ProfileManager*>(this)->makeProfilesArray();
    std::unique_lock lock(listMutex_);
    if (listBuilt_.load(std::memory_order_relaxed)) return;
    privateProfiles.swap(list);
    listBuilt_.store(true, std::memory_order_release);
}

void ProfileManager::buildProfilesArray() {
    std::vector<WrapPtr> list = makeProfilesArray();

    std::vector<ProfilesObserver> observers;
    {
        std::lock_guard lock(observersMutex_);
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) observer(true);
    {
        std::unique_lock lock(listMutex_);
        privateProfiles.swap(list);
        listBuilt_.store(true, std::memory_order_release);
    }
    for (const auto& observer : observers) observer(false);
}

std::vector<ProfileManager::WrapPtr> ProfileManager::arrayOfAllExternalProfiles() const {
    std::vector<WrapPtr> found;
    try {
        std::string failure;
        platform::iterateInstalledIccProfiles(
            [&](const platform::IccInstalledProfile& entry) {
                if (auto wrap = ColorSyncProfileWrap::profileWithIterateData(entry))
                    found.push_back(std::move(wrap));
                return true;
            },
            &failure);
        if (!failure.empty()) platform::log(">> %s", failure.c_str());
    } catch (const std::exception&) {
        platform::log("%s WARNING: Exception in ColorSyncIterateInstalledProfiles",
                      "-[ProfileManager arrayOfAllExternalProfiles]");
    }
    return found;
}

std::vector<ProfileManager::WrapPtr> ProfileManager::arrayOfAllProfiles(bool withAutomatic) const {
    ensureProfilesArray();
    std::vector<WrapPtr> list;
    {
        std::shared_lock lock(listMutex_);
        list.reserve(privateProfiles.size() + 1);
        if (withAutomatic) list.push_back(ColorSyncProfileWrap::initAsAutoProfile());
        list.insert(list.end(), privateProfiles.begin(), privateProfiles.end());
    }
    return list;
}

std::vector<ProfileManager::WrapPtr> ProfileManager::arrayOfAllProfilesWithSpace(
    std::int32_t space) const {
    namespace sig = platform::iccsig;
    std::vector<WrapPtr> list;
    for (auto& wrap : arrayOfAllProfiles(false)) {
        const auto cls = wrap->classType();
        if (wrap->spaceType() == space && !wrap->description().empty() &&
            (cls == sig::kOutputClass || cls == sig::kDisplayClass))
            list.push_back(std::move(wrap));
    }
    return list;
}

ProfileManager::WrapPtr ProfileManager::findMatchingProfile(const std::string& description) const {
    if (!listBuilt_.load(std::memory_order_acquire)) {
        // What the list would hold, in its order, without making it for a
        // name it lacks (the sRGB of every JPEG export): the scanner profiles'
        // descriptions are known beforehand, and only the one found is made.
        auto automatic = ColorSyncProfileWrap::initAsAutoProfile();
        if (platform::equalsIgnoringAsciiCase(automatic->description(), description))
            return automatic;
        for (const Scanner& scanner : kScanners) {
            if (!platform::equalsIgnoringAsciiCase(platform::iccBuiltinDescription(scanner.which),
                                                   description))
                continue;
            if (auto wrap = (const_cast<ProfileManager*>(this)->*scanner.getter)()) return wrap;
        }
        const auto installed = listedExternalProfiles();
        if (std::none_of(installed.begin(), installed.end(), [&](const WrapPtr& wrap) {
                return platform::equalsIgnoringAsciiCase(wrap->description(), description);
            }))
            return nullptr;
        // Found: answer with the list's own object, as later look-ups will.
    }
    for (auto& wrap : arrayOfAllProfiles(true)) {
        if (platform::equalsIgnoringAsciiCase(wrap->description(), description)) return wrap;
    }
    return nullptr;
}

ProfileManager::WrapPtr ProfileManager::builtin(Slot& slot, platform::IccBuiltin which,
                                                bool withLog) {
    std::lock_guard lock(slot.mutex);
    if (!slot.wrap) {
        // A failure leaves the slot empty, so the next call tries again.
        const auto bytes = platform::iccBuiltinBytes(which);
        slot.wrap = ColorSyncProfileWrap::initWithBuffer(bytes.data(),
                                                         static_cast<std::uint32_t>(bytes.size()));
        if (slot.wrap && withLog) slot.wrap->enableLog(true);
    }
    return slot.wrap;
}

using B = platform::IccBuiltin;

ProfileManager::WrapPtr ProfileManager::getProPhotoProfile(bool) {
    return builtin(mProPhoto, B::proPhotoPerceptual);
}
ProfileManager::WrapPtr ProfileManager::getProPhotoPerceptualProfile() {
    return builtin(ProPhotoPerceptualProfile, B::proPhotoPerceptual);
}
ProfileManager::WrapPtr ProfileManager::getProPhotoGamma1Profile(bool) {
    return builtin(mProPhotoG1, B::proPhotoGamma1);
}
ProfileManager::WrapPtr ProfileManager::getProPhotoGamma1_D65Profile(bool) {
    return builtin(mProPhotoG1_D65, B::proPhotoGamma1D65);
}
ProfileManager::WrapPtr ProfileManager::getSwappedSRGBProfile(bool) {
    return builtin(mSwappedSRGB, B::swappedSRGB);
}
ProfileManager::WrapPtr ProfileManager::getCCIR709Profile(bool) {
    return builtin(mCCIR709, B::ccir709Gamma1D50);
}
ProfileManager::WrapPtr ProfileManager::getCCIR709Gamma1D50Profile() {
    return builtin(CCIR709Gamma1D50Profile, B::ccir709Gamma1D50);
}
ProfileManager::WrapPtr ProfileManager::getProPhotocmRelativeColorimetricProfile() {
    return builtin(ProPhotocmRelativeColorimetricProfile, B::proPhotoRelativeColorimetric);
}
ProfileManager::WrapPtr ProfileManager::getProPhotocmSaturationProfile() {
    return builtin(ProPhotocmSaturationProfile, B::proPhotoSaturation);
}
ProfileManager::WrapPtr ProfileManager::getProPhotocmAbsoluteColorimetricProfile() {
    return builtin(ProPhotocmAbsoluteColorimetricProfile, B::proPhotoAbsoluteColorimetric);
}
ProfileManager::WrapPtr ProfileManager::getPAL_SECAMGamma1Profile() {
    return builtin(PAL_SECAMGamma1Profile, B::palSecamGamma1);
}
ProfileManager::WrapPtr ProfileManager::getPAL_SECAMGamma22Profile() {
    return builtin(PAL_SECAMGamma22Profile, B::palSecamGamma22);
}
ProfileManager::WrapPtr ProfileManager::getCCIR709Gamma1Profile() {
    return builtin(CCIR709Gamma1Profile, B::ccir709Gamma1);
}
ProfileManager::WrapPtr ProfileManager::getIUT709Profile() { return builtin(mITU709, B::itu709); }
ProfileManager::WrapPtr ProfileManager::getRec709Gamma1Profile() {
    return builtin(Rec709Gamma1, B::rec709Gamma1);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCD4eProfile() {
    return builtin(mpcd4e, B::photoCD4e);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCD4kProfile() {
    return builtin(mpcd4k, B::photoCD4k);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCDXnProfile() {
    return builtin(mpcdXn, B::photoCDXn);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCD2eProfile() {
    return builtin(mpcd2e, B::photoCD2e, true);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCD2kProfile() {
    return builtin(mpcd2k, B::photoCD2k);
}
ProfileManager::WrapPtr ProfileManager::getPhotoCDXgProfile() {
    return builtin(mpcdXg, B::photoCDXg);
}

ProfileManager::WrapPtr ProfileManager::getSRGBProfile(bool) {
    {
        std::lock_guard lock(mSRGB.mutex);
        if (mSRGB.wrap) return mSRGB.wrap;
    }
    // Asked again while no listed profile matches, so that one installed later is found.
    if (auto found = findMatchingProfile("sRGB IEC61966-2.1")) {
        std::lock_guard lock(mSRGB.mutex);
        if (!mSRGB.wrap) mSRGB.wrap = std::move(found);
        return mSRGB.wrap;
    }
    return builtin(builtInSRGB_, B::sRGB);
}
