// The process-wide registry of ICC profiles: the application's built-in profiles (working
// spaces, soft-proof spaces, Rec. 709 variants, Photo CD scanner profiles) and the list of
// profiles offered to the user (the scanner profiles, then the installed ones when the user
// default "ShowExternalProfiles" is on).
//
// Ownership: the singleton is never destroyed; it owns the list (made when first read) and one
// wrap per built-in getter, each made on first call.
//
// Thread safety: every method may be called from any thread. The list is rebuilt (on the
// thread that changes "ShowExternalProfiles", normally the main thread) by building a new
// array and swapping it in under a writer lock, so readers on engine threads always see a
// whole list. Built-in getters make their wrap once under a lock of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "platform/IccBuiltins.h"
#include "platform/Value.h"

class ProfileManager {
public:
    using WrapPtr = ColorSyncProfileWrap::Ptr;
    using Token = std::uint64_t;
    // Change notices for the key "profiles": called with prior = true before a rebuild and
    // prior = false after it, on the rebuilding thread.
    using ProfilesObserver = std::function<void(bool prior)>;

    static ProfileManager& sharedManager();

    void buildProfilesArray();
    std::vector<WrapPtr> arrayOfAllExternalProfiles() const;
    std::vector<WrapPtr> arrayOfAllProfiles(bool withAutomatic) const;
    std::vector<WrapPtr> arrayOfAllProfilesWithSpace(std::int32_t space) const;
    WrapPtr findMatchingProfile(const std::string& description) const;

    // The user default observer: any change of "ShowExternalProfiles" rebuilds the list.
    void observeValueForKeyPath(const std::string& keyPath, const platform::Value& newValue);

    Token addProfilesObserver(ProfilesObserver observer);
    void removeProfilesObserver(Token token);

    // Built-in profiles; the flag of the getters that take one is not used.
    WrapPtr getProPhotoProfile(bool unused = false);
    WrapPtr getProPhotoPerceptualProfile();
    WrapPtr getProPhotoGamma1Profile(bool unused = false);
    WrapPtr getProPhotoGamma1_D65Profile(bool unused = false);
    WrapPtr getSwappedSRGBProfile(bool unused = false);
    WrapPtr getCCIR709Profile(bool unused = false);
    WrapPtr getCCIR709Gamma1D50Profile();
    WrapPtr getProPhotocmRelativeColorimetricProfile();
    WrapPtr getProPhotocmSaturationProfile();
    WrapPtr getProPhotocmAbsoluteColorimetricProfile();
    WrapPtr getPAL_SECAMGamma1Profile();
    WrapPtr getPAL_SECAMGamma22Profile();
    WrapPtr getCCIR709Gamma1Profile();
    WrapPtr getIUT709Profile();
    WrapPtr getRec709Gamma1Profile();
    WrapPtr getPhotoCD4eProfile();
    WrapPtr getPhotoCD4kProfile();
    WrapPtr getPhotoCDXnProfile();
    WrapPtr getPhotoCD2eProfile();
    WrapPtr getPhotoCD2kProfile();
    WrapPtr getPhotoCDXgProfile();
    // The known profile described "sRGB IEC61966-2.1"; when none is listed, the built-in sRGB.
    // Never null.
    WrapPtr getSRGBProfile(bool unused = false);

    ProfileManager(const ProfileManager&) = delete;
    ProfileManager& operator=(const ProfileManager&) = delete;

private:
    ProfileManager();
    ~ProfileManager() = default;

    // One lazily made built-in wrap.
    struct Slot {
        std::mutex mutex;
        WrapPtr wrap;
    };
    WrapPtr builtin(Slot& slot, platform::IccBuiltin which, bool withLog = false);
    struct Scanner;
    static const Scanner kScanners[6];
    std::vector<WrapPtr> makeProfilesArray();
    // The installed profiles the list shows ("ShowExternalProfiles").
    std::vector<WrapPtr> listedExternalProfiles() const;
    // Makes the list on first use: its scanner profiles take the better part
    // of a start-up to generate, and an export never reads it.
    void ensureProfilesArray() const;

    mutable std::shared_mutex listMutex_;
    mutable std::vector<WrapPtr> privateProfiles;
    mutable std::atomic<bool> listBuilt_{false};

    std::mutex observersMutex_;
    std::map<Token, ProfilesObserver> observers_;
    Token nextToken_ = 1;

    Slot mProPhoto, mProPhotoG1, mProPhotoG1_D65, mSRGB, mSwappedSRGB, mCCIR709, mpcd4e, mpcd2e,
        mpcd4k, mpcd2k, mpcdXn, mpcdXg, ProPhotoPerceptualProfile,
        ProPhotocmRelativeColorimetricProfile, ProPhotocmSaturationProfile,
        ProPhotocmAbsoluteColorimetricProfile, PAL_SECAMGamma1Profile, PAL_SECAMGamma22Profile,
        CCIR709Gamma1D50Profile, CCIR709Gamma1Profile, mITU709, Rec709Gamma1;
    Slot builtInSRGB_;  // the fallback of getSRGBProfile
};
