#include "platform/CaselessNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/AsciiCase.h"

namespace platform {

namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Calls `each` with every name of a '/'-separated list until it says stop.
template <class Each>
void forEachName(std::string_view list, Each each) {
    while (true) {
        const size_t slash = list.find('/');
        if (!each(list.substr(0, slash)) || slash == std::string_view::npos) return;
        list.remove_prefix(slash + 1);
    }
}

}  // namespace

std::string CaselessNames::key(std::string_view name) {
    // ASCII text is its own normal form, and folds to lower case.
    if (isAscii(name)) return asciiLowercase(name);
    utf8proc_uint8_t* mapped = nullptr;
    // Folding and decomposing repeat per character until neither changes it,
    // then marks are put in canonical order: the canonical caseless form.
    const utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(name.data()), utf8proc_ssize_t(name.size()),
        &mapped, utf8proc_option_t(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD));
    if (length == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
    // Not UTF-8 (or a code point it does not assign): no canonical form.
    if (length < 0) return asciiLowercase(name);
    const std::unique_ptr<utf8proc_uint8_t, void (*)(void*)> owned(mapped, std::free);
    return std::string(reinterpret_cast<const char*>(mapped), size_t(length));
}

std::optional<timespec> CaselessNames::folderTime(int folderFd) {
    struct stat st;
    if (::fstat(folderFd, &st) != 0) return std::nullopt;
    return st.st_mtim;
}

void CaselessNames::listAgain(int folderFd) {
    keys_.clear();
    listedAt_.reset();
    sawHidden_ = false;
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Closed however the listing ends: adding a name may run out of memory.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) {
        ::close(fd);
        return;
    }
    // Read before the names: a change made while they are read shows later.
    const auto before = folderTime(fd);
    // An ASCII name's key is the name lowered, so most names are passed
    // over without making their key.
    const bool asciiPrefix = isAscii(prefix_);
    auto mayMatch = [&](std::string_view name) {
        if (prefix_.empty()) return true;
        if (!isAscii(name)) return key(name).starts_with(prefix_);
        return asciiPrefix && name.size() >= prefix_.size() &&
               equalsIgnoringAsciiCase(name.substr(0, prefix_.size()), prefix_);
    };
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name[0] == '.') sawHidden_ = true;
        if (mayMatch(name)) add(name);
    }
    // A listing cut short is never taken for the folder's state.
    if (errno == 0) listedAt_ = before;
}

CaselessNames CaselessNames::ofFolder(int folderFd) { return ofFolderFor(folderFd, {}); }

CaselessNames CaselessNames::ofFolder(const std::filesystem::path& folder) {
    return ofFolderFor(folder, {});
}

CaselessNames CaselessNames::ofFolderFor(int folderFd, std::string_view stem) {
    CaselessNames names;
    names.prefix_ = key(stem);
    names.listAgain(folderFd);
    return names;
}

CaselessNames CaselessNames::ofFolderFor(const std::filesystem::path& folder,
                                         std::string_view stem) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    CaselessNames names;
    names.prefix_ = key(stem);
    if (fd < 0) return names;
    names.listAgain(fd);
    ::close(fd);
    return names;
}

std::optional<std::string> CaselessNames::nameLike(std::string_view name) const {
    const auto found = keys_.find(key(name));
    if (found == keys_.end()) return std::nullopt;
    std::string_view like;
    forEachName(found->second, [&](std::string_view each) {
        if (like.empty() || each == name) like = each;
        return each != name;
    });
    return std::string(like);
}

std::optional<std::string> CaselessNames::otherNameLike(std::string_view name) const {
    const auto found = keys_.find(key(name));
    if (found == keys_.end()) return std::nullopt;
    std::optional<std::string> other;
    forEachName(found->second, [&](std::string_view each) {
        if (each != name) other = std::string(each);
        return !other;
    });
    return other;
}

bool CaselessNames::hasExactly(std::string_view name) const { return nameLike(name) == name; }

void CaselessNames::add(std::string_view name) {
    auto [at, added] = keys_.try_emplace(key(name), name);
    if (added) return;
    bool known = false;
    forEachName(at->second, [&](std::string_view each) {
        known = each == name;
        return !known;
    });
    if (!known) at->second.append("/").append(name);
}

bool CaselessNames::folderChangedSince(int folderFd) const {
    const auto now = folderTime(folderFd);
    return !listedAt_ || !now || !sameTime(*listedAt_, *now);
}

void CaselessNames::noteOwnChange(const timespec& before, const timespec& after) {
    if (listedAt_ && sameTime(*listedAt_, before)) listedAt_ = after;
}

}  // namespace platform
