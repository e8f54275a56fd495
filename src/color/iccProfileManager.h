// The ICC profile list as menus present it: ProfileManager's list, with the automatic profile
// first for menus. Adding profiles and iterating them here are not supported.
//
// Ownership: a process-wide singleton, never destroyed. Thread-safe: it keeps no state of its
// own that its operations read.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "platform/Error.h"

class iccProfileManager {
public:
    static iccProfileManager& sharediccProfileManager();

    std::vector<ColorSyncProfileWrap::Ptr> profileList(bool withAutomatic) const;
    std::vector<ColorSyncProfileWrap::Ptr> profileListForMenu() const { return profileList(true); }
    // Change notices for "profileListForMenu" are sent by hand; this class sends none itself.
    static bool automaticallyNotifiesObserversForKey(const std::string&) { return false; }

    std::optional<std::filesystem::path> profileDirectory() const { return std::nullopt; }
    // Not supported: log the call and answer false.
    bool addProfile(const std::filesystem::path& path, platform::Error* error);
    void iterateProfiles();

    iccProfileManager(const iccProfileManager&) = delete;
    iccProfileManager& operator=(const iccProfileManager&) = delete;

private:
    iccProfileManager() = default;
    std::vector<ColorSyncProfileWrap::Ptr> _profileList;  // not read by these operations
};
