// The user's camera-profile library: the ".dcp" files in the "Profiles" folder
// of the Application Support folder, as DNGCameraProfileAbstract objects, with
// import and removal and the list the camera-profile menu shows (automatic
// profile first).
//
// Ownership: the singleton is never destroyed. Lists hand out new profile
// objects on every call (the folder is read again each time).
//
// Thread safety: meant for the main thread; every method is nonetheless safe
// from any thread (one lock around the list and the observers). Observers are
// called on the calling thread, outside the lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "color/DNGCameraProfileAbstract.h"
#include "platform/Error.h"

class CameraProfileManager {
public:
    using ProfilePtr = DNGCameraProfileAbstract::Ptr;
    using Token = std::uint64_t;
    // Change notices for "profileListForMenu": prior = true before an import or
    // removal, prior = false after it, whether or not it succeeded.
    using ListObserver = std::function<void(bool prior)>;

    static CameraProfileManager& sharedCameraProfileManager();

    // <Application Support>/Profiles, made when missing; empty when it cannot
    // be reached or made (logged). Found again when the Application Support
    // folder moves (the environment points elsewhere).
    static std::filesystem::path profileDirectory();

    // Copies the file into the folder under its own name. An existing file of
    // that name is kept and the import fails; so does a file that is not a
    // readable camera profile (nothing is copied).
    bool addProfile(const std::filesystem::path& url, platform::Error* error);
    // Unlocks (immutable flag, owner write permission) and deletes the
    // profile's file; the automatic profile has no file and fails.
    bool removeProfile(const DNGCameraProfileAbstract& profile, platform::Error* error);

    // Reads the folder again: every readable ".dcp" file (any case), sorted by file name.
    void iterateProfiles();
    // iterateProfiles, then the list, with a new automatic profile first when asked.
    std::vector<ProfilePtr> profileList(bool withAutomatic);
    std::vector<ProfilePtr> profileListForMenu() { return profileList(true); }

    Token addProfileListObserver(ListObserver observer);
    void removeProfileListObserver(Token token);

    CameraProfileManager(const CameraProfileManager&) = delete;
    CameraProfileManager& operator=(const CameraProfileManager&) = delete;

private:
    CameraProfileManager() = default;
    ~CameraProfileManager() = default;
    void notifyObservers(bool prior);

    std::mutex mutex_;
    std::vector<ProfilePtr> _profileList;
    std::map<Token, ListObserver> observers_;
    Token nextToken_ = 1;
};
