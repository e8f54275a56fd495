#include "color/iccProfileManager.h"

#include "color/ProfileManager.h"
#include "platform/Log.h"

iccProfileManager& iccProfileManager::sharediccProfileManager() {
    static iccProfileManager* manager = new iccProfileManager;
    return *manager;
}

std::vector<ColorSyncProfileWrap::Ptr> iccProfileManager::profileList(bool withAutomatic) const {
    return ProfileManager::sharedManager().arrayOfAllProfiles(withAutomatic);
}

bool iccProfileManager::addProfile(const std::filesystem::path& /*path*/,
                                   platform::Error* /*error*/) {
    platform::log("ERROR : invalid function call %s", "-[iccProfileManager addProfile:error:]");
    return false;
}

void iccProfileManager::iterateProfiles() {
    platform::log("ERROR : invalid function call %s", "-[iccProfileManager iterateProfiles]");
}
