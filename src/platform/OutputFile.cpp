#include "platform/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/Log.h"

namespace platform {

namespace {

constexpr std::string_view kPartialMark = ".partial-";

// The longest a stem may be so that "." + stem + mark + pid + "-" + number
// fits the name limit for any pid and number.
constexpr size_t kMaxStemBytes = OutputFile::kMaxNameBytes - 1 - kPartialMark.size() - 10 - 1 - 10;

// Cut at a character boundary of UTF-8 text, never inside a sequence.
std::string cutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

bool parseNumber(std::string_view text, unsigned long long& out) {
    if (text.empty()) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

// The process id in a partial file's name, or 0 when the name is not one.
pid_t partialOwner(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return 0;
    const size_t mark = name.rfind(kPartialMark);
    if (mark == std::string_view::npos) return 0;
    const std::string_view tail = name.substr(mark + kPartialMark.size());
    const size_t dash = tail.find('-');
    if (dash == std::string_view::npos) return 0;
    unsigned long long pid = 0, number = 0;
    if (!parseNumber(tail.substr(0, dash), pid) || !parseNumber(tail.substr(dash + 1), number))
        return 0;
    if (pid == 0 || pid > 0x7FFFFFFF) return 0;
    return static_cast<pid_t>(pid);
}

bool isAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// Where the file system keeps no locks, a partial file is removed only when
// its process id names no live process here and it is this old: the id may
// belong to another machine or another process-id namespace.
constexpr time_t kUnlockedPartialAge = 60 * 60;

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct FileId {
    dev_t dev;
    ino_t ino;
};

bool sameInode(const struct stat& st, const FileId& id) {
    return st.st_dev == id.dev && st.st_ino == id.ino;
}

// How a file system without the call answers: FUSE mounts of FAT and exFAT
// cards have neither a no-replace rename nor hard links.
bool unsupported(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EPERM || err == EMLINK ||
           err == EXDEV;
}

// Where nothing renames without replacing: the final name is created empty
// and exclusively, as our own, and the finished file renamed over that very
// file. The placeholder is checked again just before, so another program's
// file that took the name meanwhile is left alone.
int claimAndRename(int folder, const char* from, const char* to) {
    const int fd = ::openat(folder, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat claimed;
    const bool stated = ::fstat(fd, &claimed) == 0;
    ::close(fd);
    struct stat now;
    if (!stated || ::fstatat(folder, to, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(now, claimed)) {
        errno = EEXIST;
        return -1;
    }
    if (::renameat(folder, from, folder, to) == 0) return 0;
    const int err = errno;
    if (::fstatat(folder, to, &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, claimed))
        ::unlinkat(folder, to, 0);
    errno = err;
    return -1;
}

// Renames without replacing, on any file system that renames at all.
int renameNoReplace(int folder, const char* from, const char* to) {
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    if (::linkat(folder, from, folder, to, 0) == 0) {
        ::unlinkat(folder, from, 0);
        return 0;
    }
    if (!unsupported(errno)) return -1;
    return claimAndRename(folder, from, to);
}

// Locks a new partial file for its writer. False when a cleaner removed the
// name between its creation and the lock: the caller takes another name.
bool holdWhileWriting(int folderFd, const std::string& name, int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        // A file system without locks: the age rule protects the file.
        if (errno != EINTR) return true;
    }
    struct stat named, opened;
    return ::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &opened) == 0 && sameFile(named, opened);
}

}  // namespace

std::string OutputFile::temporaryNameFor(const std::string& destinationName, unsigned attempt) {
    return "." + cutUtf8(destinationName, kMaxStemBytes) + std::string(kPartialMark) +
           std::to_string(::getpid()) + "-" + std::to_string(attempt);
}

// A writer holds an exclusive lock on its partial file from creation to
// publishing. Whoever can take that lock without waiting knows no writer is
// left, wherever the writer ran; the name is checked again under the lock,
// so a new file that took the name meanwhile is never touched.
void OutputFile::removeStalePartials(int folderFd) {
    const int dirFd = ::dup(folderFd);
    if (dirFd < 0) return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    ::rewinddir(dir);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t owner = partialOwner(entry->d_name);
        if (owner == 0) continue;
        const int fd = ::openat(folderFd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        struct stat held;
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            continue;
        }
        bool remove = false;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat named;
            remove = ::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                     sameFile(named, held);
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            remove =
                owner != ::getpid() && !isAlive(owner) && now - held.st_mtime > kUnlockedPartialAge;
        }
        if (remove && ::unlinkat(folderFd, entry->d_name, 0) == 0)
            log("Removed the partial file %s, which no writer holds", entry->d_name);
        ::close(fd);
    }
    ::closedir(dir);
}

std::unique_ptr<OutputFile> OutputFile::create(const std::filesystem::path& destination,
                                               Error* error, const CaselessNames* listed) {
    const std::string name = destination.filename().string();
    if (name.empty() || name == "." || name == "..") {
        setPosixError(error, EISDIR, "Cannot write a file named " + destination.string());
        return nullptr;
    }
    const std::filesystem::path folder =
        destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
    std::unique_ptr<OutputFile> file(new OutputFile());
    file->folderFd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->folderFd_ < 0) {
        setPosixError(error, errno, "Cannot open the folder " + folder.string());
        return nullptr;
    }
    if (!listed || listed->sawHiddenNames() || listed->folderChangedSince(file->folderFd_))
        removeStalePartials(file->folderFd_);

    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 1000; ++tries) {
        const std::string temporary = temporaryNameFor(name, counter++);
        file->createdFrom_ = CaselessNames::folderTime(file->folderFd_);
        const int fd = ::openat(file->folderFd_, temporary.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        file->createdTo_ = CaselessNames::folderTime(file->folderFd_);
        if (fd >= 0) {
            if (!holdWhileWriting(file->folderFd_, temporary, fd)) {
                ::close(fd);
                continue;
            }
            file->fd_ = fd;
            file->lockFd_ = ::dup(fd);
            file->destination_ = destination;
            file->temporaryName_ = temporary;
            file->temporaryPath_ = folder / temporary;
            return file;
        }
        // Taken (a dead process with this pid, or anything planted): next name.
        if (errno != EEXIST) {
            setPosixError(error, errno, "Cannot create a file in " + folder.string());
            return nullptr;
        }
    }
    setPosixError(error, EEXIST, "Cannot create a file in " + folder.string());
    return nullptr;
}

OutputFile::~OutputFile() {
    if (!done_) discard();
    releaseLock();
    if (folderFd_ >= 0) ::close(folderFd_);
}

void OutputFile::releaseLock() {
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

std::string OutputFile::writerPath() const {
    return fd_ >= 0 ? "/proc/self/fd/" + std::to_string(fd_) : std::string();
}

std::FILE* OutputFile::stream() {
    if (!stream_ && fd_ >= 0) {
        stream_ = ::fdopen(fd_, "wb");
        // From now on the stream owns the descriptor.
    }
    return stream_;
}

bool OutputFile::closeFile(Error* error) {
    int failure = 0;
    if (stream_ && (std::fflush(stream_) != 0 || std::ferror(stream_)))
        failure = errno ? errno : EIO;
    if (!failure && fd_ >= 0 && ::fsync(fd_) != 0) failure = errno;
    const int closed = stream_ ? std::fclose(stream_) : (fd_ >= 0 ? ::close(fd_) : 0);
    if (!failure && closed != 0) failure = errno;
    stream_ = nullptr;
    fd_ = -1;
    if (failure) return setPosixError(error, failure, "Cannot write " + destination_.string());
    return true;
}

void OutputFile::discard() {
    done_ = true;
    if (stream_)
        std::fclose(stream_);
    else if (fd_ >= 0)
        ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (folderFd_ >= 0 && !temporaryName_.empty()) ::unlinkat(folderFd_, temporaryName_.c_str(), 0);
    releaseLock();
}

std::filesystem::path OutputFile::numberedName(const std::filesystem::path& destination, int i) {
    if (i == 0) return destination;
    return destination.parent_path() / (destination.stem().string() + "_" + std::to_string(i) +
                                        destination.extension().string());
}

std::optional<std::filesystem::path> OutputFile::firstFreeName(
    const std::filesystem::path& destination, bool numbered, const CaselessNames* names) {
    std::optional<CaselessNames> listed;
    if (!names) names = &listed.emplace(CaselessNames::ofFolder(destination.parent_path()));
    const int last = numbered ? kMaxNumberedName : 0;
    for (int i = 0; i <= last; ++i) {
        const std::filesystem::path candidate = numberedName(destination, i);
        if (names->holds(candidate.filename().string())) continue;
        struct stat st;
        if (::lstat(candidate.c_str(), &st) == 0) continue;
        // A folder that cannot be searched says so when the file is written.
        return candidate;
    }
    return std::nullopt;
}

// The file at a name, checked before it is replaced: a regular file (never
// a link, a folder or a device) that no rule keeps. Its device and inode, so
// that what is replaced is the very file checked.
namespace {

// `why` tells a folder (EISDIR) from any other file kept (EEXIST).
std::optional<FileId> replaceableAt(int folderFd, const std::string& name,
                                    const OutputFile::Policy& policy,
                                    const std::vector<FileId>& kept, int& why) {
    why = EEXIST;
    const int fd =
        ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st;
    std::optional<FileId> id;
    const bool stated = ::fstat(fd, &st) == 0;
    if (stated && S_ISDIR(st.st_mode)) why = EISDIR;
    if (stated && S_ISREG(st.st_mode) &&
        std::none_of(kept.begin(), kept.end(), [&](const FileId& k) { return sameInode(st, k); }) &&
        (!policy.mayReplace || policy.mayReplace("/proc/self/fd/" + std::to_string(fd))))
        id = FileId{st.st_dev, st.st_ino};
    ::close(fd);
    return id;
}

}  // namespace

std::optional<std::filesystem::path> OutputFile::publish(const Policy& policy, Error* error) {
    if (done_) {
        setPosixError(error, EINVAL, "Already published " + destination_.string());
        return std::nullopt;
    }
    if (!closeFile(error)) {
        discard();
        return std::nullopt;
    }

    auto idsOf = [](const std::vector<std::filesystem::path>& paths) {
        std::vector<FileId> ids;
        for (const auto& p : paths) {
            struct stat st;
            if (::stat(p.c_str(), &st) == 0) ids.push_back({st.st_dev, st.st_ino});
            if (::lstat(p.c_str(), &st) == 0) ids.push_back({st.st_dev, st.st_ino});
        }
        return ids;
    };
    const std::vector<FileId> protectedIds = idsOf(policy.protect);
    std::vector<FileId> kept = idsOf(policy.passOver);
    kept.insert(kept.end(), protectedIds.begin(), protectedIds.end());
    auto isProtected = [&](const std::string& candidate) {
        for (int flags : {AT_SYMLINK_NOFOLLOW, 0}) {
            struct stat st;
            if (::fstatat(folderFd_, candidate.c_str(), &st, flags) != 0) continue;
            for (const FileId& id : protectedIds)
                if (sameInode(st, id)) return true;
        }
        return false;
    };

    // The folder's own names decide, never a stat: on a card a stat of
    // "a.jpg" finds "A.JPG". Names listed before this file was begun are
    // listed again when anyone but this writer changed the folder since.
    std::optional<CaselessNames> listed;
    CaselessNames* names = policy.folderNames;
    if (names && createdFrom_ && createdTo_) names->noteOwnChange(*createdFrom_, *createdTo_);
    if (names && names->folderChangedSince(folderFd_)) names->listAgain(folderFd_);
    if (!names) names = &listed.emplace(CaselessNames::ofFolder(folderFd_));

    const std::filesystem::path folder = destination_.parent_path();
    const int last = kMaxNumberedName;
    auto refuse = [&](int code, const std::string& why) {
        setError(error, PosixErrorDomain, code, why);
        discard();
        return std::nullopt;
    };
    for (int i = 0; i <= last; ++i) {
        const std::string candidate = numberedName(destination_, i).filename().string();
        const bool moveOn = policy.numbered && i < last;
        // Made before the rename: once the file is in place nothing may fail.
        std::filesystem::path placed = folder / candidate;
        // Another file's name but for letter case or normalisation: one name
        // on a card or another system, where a copy would replace that file.
        if (const auto other = names->otherNameLike(candidate)) {
            if (moveOn || (policy.replace && i < last)) continue;
            return refuse(EEXIST, placed.string() + " is taken: " + (folder / *other).string() +
                                      " exists, and many systems take the two names for one");
        }
        int moved = -1;
        std::optional<FileId> replaced;
        const auto before = CaselessNames::folderTime(folderFd_);
        if (policy.replace && names->hasExactly(candidate)) {
            int why = 0;
            replaced = replaceableAt(folderFd_, candidate, policy, kept, why);
            if (!replaced) {
                if (moveOn) continue;
                if (isProtected(candidate))
                    return refuse(EEXIST,
                                  placed.string() + " is a file this export must not replace");
                setPosixError(error, why,
                              placed.string() + " is not a file this export may replace");
                discard();
                return std::nullopt;
            }
            // Still the file checked: another program's file is never replaced.
            struct stat st;
            if (::fstatat(folderFd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                sameInode(st, *replaced)) {
                moved = ::renameat(folderFd_, temporaryName_.c_str(), folderFd_, candidate.c_str());
            } else {
                errno = EEXIST;
            }
        } else {
            moved = renameNoReplace(folderFd_, temporaryName_.c_str(), candidate.c_str());
        }
        if (moved == 0) {
            done_ = true;
            releaseLock();
            const auto after = CaselessNames::folderTime(folderFd_);
            if (before && after) names->noteOwnChange(*before, *after);
            try {
                names->add(candidate);
            } catch (const std::bad_alloc&) {
                // Its exact name still keeps it from being replaced.
            }
            // The new name survives a crash only once the folder is on disk.
            if (::fsync(folderFd_) != 0 && errno != EINVAL) {
                setPosixError(error, errno, "Cannot sync the folder of " + candidate);
                return std::nullopt;
            }
            return placed;
        }
        if (errno == EEXIST && moveOn) continue;
        setPosixError(error, errno, "Cannot put " + placed.string() + " in place");
        discard();
        return std::nullopt;
    }
    return std::nullopt;  // not reached
}

}  // namespace platform
