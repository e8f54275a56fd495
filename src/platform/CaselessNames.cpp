#include "platform/CaselessNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/AsciiCase.h"

namespace platform {

namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

// Runs one ICU step that writes UTF-16 into `out`, growing it once when
// the first guess was short. False on any other failure.
template <class Step>
bool runStep(std::vector<UChar>& out, Step step) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = step(out.data(), int32_t(out.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(size_t(length) + 1);
            continue;
        }
        if (U_FAILURE(status)) return false;
        out.resize(size_t(length));
        return true;
    }
    return false;
}

std::optional<std::string> caselessForm(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    if (U_FAILURE(status)) return std::nullopt;
    std::vector<UChar> text(name.size() + 1), folded, decomposed;
    // Strict: a name that is not UTF-8 has no canonical form.
    if (!runStep(text, [&](UChar* d, int32_t n, UErrorCode* s) {
            int32_t length = 0;
            u_strFromUTF8(d, n, &length, name.data(), int32_t(name.size()), s);
            return length;
        }))
        return std::nullopt;
    decomposed.resize(text.size() * 2 + 4);
    if (!runStep(decomposed, [&](UChar* d, int32_t n, UErrorCode* s) {
            return unorm2_normalize(nfd, text.data(), int32_t(text.size()), d, n, s);
        }))
        return std::nullopt;
    folded.resize(decomposed.size() * 2 + 4);
    if (!runStep(folded, [&](UChar* d, int32_t n, UErrorCode* s) {
            return u_strFoldCase(d, n, decomposed.data(), int32_t(decomposed.size()),
                                 U_FOLD_CASE_DEFAULT, s);
        }))
        return std::nullopt;
    // Folding may undo the canonical order (a folded letter before marks).
    decomposed.resize(folded.size() * 2 + 4);
    if (!runStep(decomposed, [&](UChar* d, int32_t n, UErrorCode* s) {
            return unorm2_normalize(nfd, folded.data(), int32_t(folded.size()), d, n, s);
        }))
        return std::nullopt;
    std::string out(decomposed.size() * 3 + 1, '\0');
    int32_t length = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), int32_t(out.size()), &length, decomposed.data(),
                int32_t(decomposed.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    out.resize(size_t(length));
    return out;
}

}  // namespace

std::string CaselessNames::key(std::string_view name) {
    // ASCII text is its own normal form, and folds to lower case.
    if (isAscii(name)) return asciiLowercase(name);
    if (auto form = caselessForm(name)) return *form;
    return asciiLowercase(name);
}

CaselessNames CaselessNames::ofFolder(int folderFd) {
    CaselessNames names;
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    // Closed however the listing ends: adding a name may run out of memory.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.add(name);
    }
    return names;
}

CaselessNames CaselessNames::ofFolder(const std::filesystem::path& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    CaselessNames names = ofFolder(fd);
    ::close(fd);
    return names;
}

std::optional<std::string> CaselessNames::nameLike(std::string_view name) const {
    const auto found = keys_.find(key(name));
    if (found == keys_.end()) return std::nullopt;
    return found->second;
}

void CaselessNames::add(std::string_view name) { keys_.emplace(key(name), std::string(name)); }

}  // namespace platform
