#include "platform/Paths.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {

std::filesystem::path home() {
    const char* h = std::getenv("HOME");
    return h && *h ? std::filesystem::path(h) : std::filesystem::path("/");
}

std::filesystem::path xdg(const char* variable, const char* fallbackUnderHome) {
    const char* v = std::getenv(variable);
    // Relative values are invalid by the base-directory rules and are ignored.
    if (v && *v == '/') return v;
    return home() / fallbackUnderHome;
}

std::filesystem::path ensure(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) log("cannot create folder %s: %s", dir.c_str(), ec.message().c_str());
    return dir;
}

// The private folders this process made, removed when it exits normally.
// A forked child inherits the list but not the folders: only the process
// that made them removes them.
struct MadeFolders {
    std::mutex mutex;
    std::vector<std::string> paths;
    pid_t owner = 0;
};

MadeFolders& madeFolders() {
    static MadeFolders* folders = new MadeFolders;
    return *folders;
}

void removeMadeFolders() {
    MadeFolders& made = madeFolders();
    std::lock_guard lock(made.mutex);
    if (made.owner != ::getpid()) return;
    std::error_code ec;
    for (const auto& path : made.paths) std::filesystem::remove_all(path, ec);
    made.paths.clear();
}

void rememberMadeFolder(const std::string& path) {
    MadeFolders& made = madeFolders();
    std::lock_guard lock(made.mutex);
    if (made.owner != ::getpid()) {
        made.paths.clear();
        made.owner = ::getpid();
        std::atexit(removeMadeFolders);
    }
    made.paths.push_back(path);
}

}  // namespace

std::filesystem::path configDirectory(bool create) {
    auto dir = xdg("XDG_CONFIG_HOME", ".config") / "Quorvex";
    return create ? ensure(dir) : dir;
}

std::filesystem::path applicationSupportDirectory(bool create) {
    auto dir = xdg("XDG_DATA_HOME", ".local/share") / "Quorvex";
    return create ? ensure(dir) : dir;
}

std::filesystem::path stateDirectory(bool create) {
    auto dir = xdg("XDG_STATE_HOME", ".local/state") / "Quorvex";
    return create ? ensure(dir) : dir;
}

namespace {

struct TemporaryFolder {
    std::mutex mutex;
    std::string base;
    std::filesystem::path dir;
};

TemporaryFolder& temporaryFolder() {
    static auto* folder = new TemporaryFolder;
    return *folder;
}

}  // namespace

std::filesystem::path temporaryDirectory() {
    TemporaryFolder& folder = temporaryFolder();
    std::lock_guard lock(folder.mutex);
    std::string* base = &folder.base;
    std::filesystem::path* dir = &folder.dir;
    const char* t = std::getenv("TMPDIR");
    std::string currentBase = t && *t == '/' ? t : "/tmp";
    struct stat st {};
    bool usable = !dir->empty() && *base == currentBase && ::lstat(dir->c_str(), &st) == 0 &&
                  S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (usable) return *dir;
    std::string pattern = currentBase + "/Quorvex-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) {  // mkdtemp makes it with mode 0700
        log("cannot create a private temporary folder in %s", currentBase.c_str());
        return {};
    }
    *base = currentBase;
    *dir = pattern;
    rememberMadeFolder(pattern);
    return *dir;
}

std::vector<std::filesystem::path> folderEntries(const std::filesystem::path& folder,
                                                 std::error_code& error) {
    error.clear();
    std::vector<std::filesystem::path> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        error.assign(errno, std::generic_category());
        return entries;
    }
    struct Closer {
        DIR* dir;
        ~Closer() { ::closedir(dir); }
    } closer{dir};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) error.assign(errno, std::generic_category());
            return entries;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back(folder / name);
    }
}

namespace {

// Folders "Quorvex-<pid>-XXXXXX" of processes that ended without cleaning up
// (a crash leaves its file-backed memory behind) are removed with ours.
void removeStaleSiblings(const std::filesystem::path& own) {
    std::error_code ec;
    for (const auto& path : folderEntries(own.parent_path(), ec)) {
        std::string name = path.filename().string();
        if (path == own || name.rfind("Quorvex-", 0) != 0) continue;
        size_t dash = name.find('-', 8);
        if (dash == std::string::npos || dash == 8) continue;
        std::string pidText = name.substr(8, dash - 8);
        if (pidText.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9)
            continue;
        pid_t pid = static_cast<pid_t>(std::stol(pidText));
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // still running (or not ours)
        std::filesystem::remove_all(path, ec);
    }
}

}  // namespace

void emptyTemporaryDirectory() {
    std::filesystem::path dir = temporaryDirectory();
    if (dir.empty()) return;
    std::error_code ec;
    for (const auto& path : folderEntries(dir, ec)) std::filesystem::remove_all(path, ec);
    removeStaleSiblings(dir);
}

void removeTemporaryDirectory() {
    TemporaryFolder& folder = temporaryFolder();
    std::lock_guard lock(folder.mutex);
    if (folder.dir.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(folder.dir, ec);
    if (ec) log("cannot remove %s: %s", folder.dir.c_str(), ec.message().c_str());
    folder.dir.clear();
}

std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file,
                                                  const std::string& suffix, bool numbered) {
    std::error_code ec;
    for (int n = numbered ? 1 : 0; n < 1000; ++n) {
        std::filesystem::path aside = file;
        aside += n == 0 ? suffix : suffix + "-" + std::to_string(n);
        if (std::filesystem::exists(std::filesystem::symlink_status(aside, ec))) continue;
        std::filesystem::rename(file, aside, ec);
        if (ec) return std::nullopt;
        return aside;
    }
    return std::nullopt;
}

}  // namespace platform
