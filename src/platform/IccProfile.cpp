#include "platform/IccProfile.h"

#include <lcms2.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <system_error>

#include "platform/IccBuiltins.h"
#include "platform/IccLcms.h"
#include "platform/Paths.h"

namespace platform {

std::string iccSignatureText(IccSignature signature) {
    const auto v = static_cast<std::uint32_t>(signature);
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>((v >> (24 - 8 * i)) & 0xFF);
        text[static_cast<std::size_t>(i)] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return text;
}

namespace {

std::uint32_t readBigEndian32(const std::vector<std::uint8_t>& b, std::size_t offset) {
    return (std::uint32_t{b[offset]} << 24) | (std::uint32_t{b[offset + 1]} << 16) |
           (std::uint32_t{b[offset + 2]} << 8) | std::uint32_t{b[offset + 3]};
}

void setReason(std::string* failureReason, std::string text) {
    if (failureReason) *failureReason = std::move(text);
}

}  // namespace

namespace {

// The RGB-to-XYZ (D50) colorant matrix when lcms2 converts through the
// profile's matrix and curves in both directions; none when a table decides.
std::optional<std::array<double, 9>> readColorants(cmsHPROFILE handle, cmsUInt32Number intent) {
    if (cmsGetColorSpace(handle) != cmsSigRgbData || !cmsIsMatrixShaper(handle) ||
        cmsIsCLUT(handle, intent, LCMS_USED_AS_INPUT) ||
        cmsIsCLUT(handle, intent, LCMS_USED_AS_OUTPUT))
        return std::nullopt;
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    std::array<double, 9> m{};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(handle, tags[c]));
        if (!xyz) return std::nullopt;
        m[0 + c] = xyz->X;
        m[3 + c] = xyz->Y;
        m[6 + c] = xyz->Z;
    }
    return m;
}

}  // namespace

std::shared_ptr<const IccProfile> IccProfile::make(std::vector<std::uint8_t> bytes,
                                                   std::filesystem::path path,
                                                   std::string* failureReason) {
    // 128-byte header plus the tag count.
    if (bytes.size() < 132) {
        setReason(failureReason, "ICC profile data too short");
        return nullptr;
    }
    // lcms2 reads tags only when asked; check the tag table against the data now so that a
    // truncated profile is refused here rather than failing later in a transform.
    const std::uint32_t declaredSize = readBigEndian32(bytes, 0);
    const std::uint32_t tagCount = readBigEndian32(bytes, 128);
    if (declaredSize < 132 || declaredSize > bytes.size() || tagCount > (declaredSize - 132) / 12) {
        setReason(failureReason, "ICC profile data truncated or malformed");
        return nullptr;
    }
    for (std::uint32_t i = 0; i < tagCount; ++i) {
        const std::uint32_t offset = readBigEndian32(bytes, 132 + 12 * std::size_t{i} + 4);
        const std::uint32_t size = readBigEndian32(bytes, 132 + 12 * std::size_t{i} + 8);
        if (offset > declaredSize || size > declaredSize - offset) {
            setReason(failureReason, "ICC profile tag outside the profile data");
            return nullptr;
        }
    }
    bytes.resize(declaredSize);
    icc::Context context;
    cmsHPROFILE handle = cmsOpenProfileFromMemTHR(context.get(), bytes.data(),
                                                  static_cast<cmsUInt32Number>(bytes.size()));
    if (!handle) {
        setReason(failureReason,
                  context.lastError().empty() ? "not an ICC profile" : context.lastError());
        return nullptr;
    }
    std::shared_ptr<IccProfile> profile(new IccProfile);
    profile->description_ = icc::profileDescription(handle);
    profile->colorants_ = readColorants(handle, readBigEndian32(bytes, 64) & 3u);
    cmsCloseProfile(handle);

    profile->version_ = readBigEndian32(bytes, 8);
    profile->class_ = static_cast<IccSignature>(readBigEndian32(bytes, 12));
    profile->space_ = static_cast<IccSignature>(readBigEndian32(bytes, 16));
    profile->pcs_ = static_cast<IccSignature>(readBigEndian32(bytes, 20));
    profile->intent_ = static_cast<IccRenderingIntent>(readBigEndian32(bytes, 64) & 3u);
    profile->bytes_ = std::move(bytes);
    profile->path_ = std::move(path);
    return profile;
}

std::optional<std::array<double, 9>> linearRGBMatrix(const IccProfile& from, const IccProfile& to) {
    const auto& a = from.matrixShaperColorants();
    const auto& b = to.matrixShaperColorants();
    if (!a || !b) return std::nullopt;
    const auto& m = *b;
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (!(std::fabs(det) > 1e-12)) return std::nullopt;
    // The inverse of `to`'s RGB-to-XYZ by its adjugate, times `from`'s.
    const double inv[9] = {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
                           (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
                           (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                           (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
                           (m[0] * m[4] - m[1] * m[3]) / det};
    const auto& f = *a;
    std::array<double, 9> out{};
    for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 3; ++c)
            out[r * 3 + c] =
                inv[r * 3] * f[c] + inv[r * 3 + 1] * f[3 + c] + inv[r * 3 + 2] * f[6 + c];
    return out;
}

std::shared_ptr<const IccProfile> IccProfile::fromBytes(const void* data, std::size_t size,
                                                        std::string* failureReason) {
    if (!data || size == 0) {
        setReason(failureReason, "no ICC profile data");
        return nullptr;
    }
    if (size > kMaxProfileBytes) {
        setReason(failureReason, "ICC profile data too large");
        return nullptr;
    }
    const auto* begin = static_cast<const std::uint8_t*>(data);
    return make(std::vector<std::uint8_t>(begin, begin + size), {}, failureReason);
}

std::shared_ptr<const IccProfile> IccProfile::fromFile(const std::filesystem::path& path,
                                                       std::string* failureReason) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        setReason(failureReason, "cannot read " + path.string() + ": " + ec.message());
        return nullptr;
    }
    if (size > kMaxProfileBytes) {
        setReason(failureReason, path.string() + " is too large for an ICC profile");
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in ||
        !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        setReason(failureReason, "cannot read " + path.string());
        return nullptr;
    }
    std::string reason;
    auto profile = make(std::move(bytes), path, &reason);
    if (!profile) setReason(failureReason, path.string() + ": " + reason);
    return profile;
}

std::shared_ptr<const IccProfile> IccProfile::named(IccNamedProfile name) {
    IccBuiltin which = IccBuiltin::sRGB;
    switch (name) {
        case IccNamedProfile::sRGB:
            which = IccBuiltin::sRGB;
            break;
        case IccNamedProfile::linearRGB:
            which = IccBuiltin::linearRGB;
            break;
        case IccNamedProfile::genericLab:
            which = IccBuiltin::genericLab;
            break;
    }
    return iccBuiltinProfile(which);
}

int IccProfile::channelCount() const {
    switch (space_) {
        case iccsig::kGray:
            return 1;
        case iccsig::kCMYK:
            return 4;
        case iccsig::kRGB:
        case iccsig::k3CLR:
        case iccsig::kLab:
        case iccsig::kXYZ:
        case iccsig::kYCC:
        case iccSignature("YCbr"):
        case iccSignature("Luv "):
        case iccSignature("Yxy "):
        case iccSignature("HSV "):
        case iccSignature("HLS "):
        case iccSignature("CMY "):
            return 3;
        default:
            break;
    }
    // '2CLR' to 'FCLR': n colours, n in hexadecimal.
    const auto v = static_cast<std::uint32_t>(space_);
    if ((v & 0x00FFFFFFu) == 0x00434C52u) {  // "?CLR"
        const char c = static_cast<char>(v >> 24);
        if (c >= '2' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Installed profiles

namespace {

std::mutex& foldersMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::vector<std::filesystem::path>>& foldersOverride() {
    static std::optional<std::vector<std::filesystem::path>> folders;
    return folders;
}

bool hasProfileExtension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".icc" || ext == ".icm";
}

}  // namespace

std::vector<std::filesystem::path> iccProfileFolders() {
    {
        std::lock_guard lock(foldersMutex());
        if (foldersOverride()) return *foldersOverride();
    }
    std::vector<std::filesystem::path> folders = {"/usr/share/color/icc",
                                                  "/usr/local/share/color/icc"};
    if (const char* home = std::getenv("HOME"); home && *home) {
        folders.emplace_back(std::filesystem::path(home) / ".local/share/icc");
        folders.emplace_back(std::filesystem::path(home) / ".color/icc");
    }
    return folders;
}

void setIccProfileFolders(std::optional<std::vector<std::filesystem::path>> folders) {
    std::lock_guard lock(foldersMutex());
    foldersOverride() = std::move(folders);
}

void iterateInstalledIccProfiles(const std::function<bool(const IccInstalledProfile&)>& visit,
                                 std::string* failureReason) {
    for (const auto& folder : iccProfileFolders()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) continue;
        // Listed with folderEntries: short of memory it throws, where the
        // standard library's iterator would end the program. Folders reached
        // through links are not followed, so a loop of links ends.
        std::vector<std::filesystem::path> files;
        std::vector<std::filesystem::path> pending{folder};
        while (!pending.empty()) {
            const std::filesystem::path current = std::move(pending.back());
            pending.pop_back();
            std::error_code listEc;
            for (const auto& path : folderEntries(current, listEc)) {
                std::error_code fileEc;
                if (std::filesystem::is_directory(std::filesystem::symlink_status(path, fileEc)))
                    pending.push_back(path);
                else if (std::filesystem::is_regular_file(path, fileEc) &&
                         hasProfileExtension(path))
                    files.push_back(path);
            }
            // Unreadable subfolders are passed over; only the top one is told.
            if (listEc && current == folder) ec = listEc;
        }
        if (ec && failureReason) *failureReason = folder.string() + ": " + ec.message();
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            const auto profile = IccProfile::fromFile(file);
            if (!profile) continue;
            const IccInstalledProfile entry{file, profile->profileClass(), profile->colorSpace(),
                                            profile->description()};
            if (!visit(entry)) return;
        }
    }
}

}  // namespace platform
