#include "color/CameraProfileManager.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/Log.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProfilesFolder = "Profiles";

bool fail(platform::Error* error, const std::error_code& ec, const std::string& what) {
    return platform::setError(error, platform::PosixErrorDomain, ec.value(),
                              what + ": " + ec.message());
}

bool hasProfileExtension(const fs::path& path) {
    const std::string ext = path.extension().string();
    return ext.size() == 4 && strcasecmp(ext.c_str(), ".dcp") == 0;
}

// Clears the immutable attribute where the file system keeps one. File
// systems without attributes count as unlocked.
bool clearImmutableFlag(const fs::path& path, platform::Error* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return platform::setPosixError(error, errno, "cannot open " + path.string());
    int flags = 0;
    bool ok = true;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
        flags &= ~FS_IMMUTABLE_FL;
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
            ok = platform::setPosixError(error, errno, "cannot unlock " + path.string());
    }
    ::close(fd);
    return ok;
}

// The owner's write permission, the other sign of a locked file.
bool clearWriteProtection(const fs::path& path, platform::Error* error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec) return fail(error, ec, "cannot read " + path.string());
    if ((status.permissions() & fs::perms::owner_write) != fs::perms::none) return true;
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
    if (ec) return fail(error, ec, "cannot unlock " + path.string());
    return true;
}

}  // namespace

CameraProfileManager& CameraProfileManager::sharedCameraProfileManager() {
    static CameraProfileManager* manager = new CameraProfileManager();
    return *manager;
}

fs::path CameraProfileManager::profileDirectory() {
    static std::mutex mutex;
    static fs::path* supportKnown = new fs::path;
    static fs::path* folderKnown = new fs::path;
    std::lock_guard lock(mutex);

    const fs::path support = platform::applicationSupportDirectory(false);
    if (!folderKnown->empty() && support == *supportKnown) return *folderKnown;

    std::error_code ec;
    platform::applicationSupportDirectory(true);
    if (!fs::is_directory(support, ec)) {
        platform::log("Could not access Library directory\n%s",
                      ec ? ec.message().c_str() : "not a folder");
        return {};
    }
    const fs::path folder = support / kProfilesFolder;
    if (!fs::is_directory(folder, ec)) {
        ec.clear();
        fs::create_directories(folder, ec);
        if (ec || !fs::is_directory(folder)) {
            platform::log("Could not create directory %s\n%s", folder.c_str(),
                          ec ? ec.message().c_str() : "not a folder");
            folderKnown->clear();
            return {};
        }
    }
    *supportKnown = support;
    *folderKnown = folder;
    return folder;
}

bool CameraProfileManager::addProfile(const fs::path& url, platform::Error* error) {
    notifyObservers(true);
    bool ok = false;
    [&] {
        const fs::path folder = profileDirectory();
        if (folder.empty()) {
            platform::setError(error, platform::PosixErrorDomain, ENOENT,
                               "The profile folder cannot be reached.");
            return;
        }
        const fs::path name = url.filename();
        if (name.empty()) {
            platform::setError(error, platform::PosixErrorDomain, EINVAL,
                               "No file name in " + url.string());
            return;
        }
        const fs::path target = folder / name;
        std::error_code ec;
        if (fs::exists(fs::symlink_status(target, ec))) {
            fail(error, std::make_error_code(std::errc::file_exists),
                 "cannot import " + url.string());
            return;
        }
        // A file that cannot be used would be copied and then never listed:
        // refuse it and copy nothing.
        std::string problem;
        if (fs::exists(url, ec) && !DNGCameraProfileAbstract::initFromFile(url, &problem)) {
            platform::setError(error, platform::PosixErrorDomain, EINVAL,
                               "\"" + name.string() + "\" cannot be used as a camera profile: " +
                                   problem + "; nothing was imported.");
            return;
        }
        // Copied under a private name, then linked into place: the existing
        // file of that name (if one appeared meanwhile) and half-copied files
        // never show up as profiles.
        const fs::path temporary =
            folder / (".import-" + std::to_string(::getpid()) + "-" + name.string() + ".part");
        fs::remove(temporary, ec);
        if (!fs::copy_file(url, temporary, fs::copy_options::none, ec)) {
            fail(error, ec, "cannot import " + url.string());
            fs::remove(temporary, ec);
            return;
        }
        if (::link(temporary.c_str(), target.c_str()) != 0) {
            platform::setPosixError(error, errno, "cannot import " + url.string());
            fs::remove(temporary, ec);
            return;
        }
        fs::remove(temporary, ec);
        ok = true;
    }();
    notifyObservers(false);
    return ok;
}

bool CameraProfileManager::removeProfile(const DNGCameraProfileAbstract& profile,
                                         platform::Error* error) {
    notifyObservers(true);
    bool ok = false;
    const fs::path& url = profile.profileURL();
    if (url.empty()) {
        platform::setError(error, platform::PosixErrorDomain, EINVAL,
                           "The automatic profile has no file to delete.");
    } else if (clearImmutableFlag(url, error) && clearWriteProtection(url, error)) {
        std::error_code ec;
        if (fs::remove(url, ec))
            ok = true;
        else
            fail(error, ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory),
                 "cannot delete " + url.string());
    }
    notifyObservers(false);
    return ok;
}

void CameraProfileManager::iterateProfiles() {
    std::vector<fs::path> files;
    const fs::path folder = profileDirectory();
    if (!folder.empty()) {
        std::error_code ec;
        for (fs::path& file : platform::folderEntries(folder, ec))
            if (hasProfileExtension(file)) files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end());

    std::vector<ProfilePtr> profiles;
    for (const fs::path& file : files) {
        if (ProfilePtr profile = DNGCameraProfileAbstract::initFromFile(file))
            profiles.push_back(std::move(profile));
    }
    std::lock_guard lock(mutex_);
    _profileList = std::move(profiles);
}

std::vector<CameraProfileManager::ProfilePtr> CameraProfileManager::profileList(
    bool withAutomatic) {
    iterateProfiles();
    std::lock_guard lock(mutex_);
    std::vector<ProfilePtr> list;
    list.reserve(_profileList.size() + 1);
    if (withAutomatic) list.push_back(DNGCameraProfileAbstract::initAsAutoProfile());
    list.insert(list.end(), _profileList.begin(), _profileList.end());
    return list;
}

CameraProfileManager::Token CameraProfileManager::addProfileListObserver(ListObserver observer) {
    std::lock_guard lock(mutex_);
    const Token token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void CameraProfileManager::removeProfileListObserver(Token token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void CameraProfileManager::notifyObservers(bool prior) {
    std::vector<ListObserver> observers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const ListObserver& observer : observers) observer(prior);
}
