// An ICC profile held as its bytes, with the header fields and description read once.
//
// Ownership: an IccProfile owns a private copy of the profile's bytes. It is immutable once
// made, so every method is safe from several threads; share it as
// std::shared_ptr<const IccProfile>. lcms2 profile handles are never kept: whoever needs one
// (IccTransform) opens its own from bytes(), because lcms2 handles read their tags lazily and
// are not safe to share between threads.
//
// Signatures are the four ASCII characters of an ICC header field held as a 32-bit value with
// the first character in the most significant byte ('mntr', 'RGB ').
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using IccSignature = std::int32_t;

// 'RGB ' as a signature; the text must have exactly four characters.
constexpr IccSignature iccSignature(std::string_view fourChars) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(i < fourChars.size() ? fourChars[i] : ' ');
    return static_cast<IccSignature>(v);
}

// The four characters of a signature ("mntr"); bytes outside printable ASCII become '?'.
std::string iccSignatureText(IccSignature signature);

namespace iccsig {
inline constexpr IccSignature kDisplayClass = iccSignature("mntr");
inline constexpr IccSignature kOutputClass = iccSignature("prtr");
inline constexpr IccSignature kInputClass = iccSignature("scnr");
inline constexpr IccSignature kColorSpaceClass = iccSignature("spac");
inline constexpr IccSignature kAbstractClass = iccSignature("abst");
inline constexpr IccSignature kLinkClass = iccSignature("link");
inline constexpr IccSignature kRGB = iccSignature("RGB ");
inline constexpr IccSignature kGray = iccSignature("GRAY");
inline constexpr IccSignature kCMYK = iccSignature("CMYK");
inline constexpr IccSignature k3CLR = iccSignature("3CLR");
inline constexpr IccSignature kLab = iccSignature("Lab ");
inline constexpr IccSignature kXYZ = iccSignature("XYZ ");
inline constexpr IccSignature kYCC = iccSignature("YCC ");
}  // namespace iccsig

// Header rendering intents, as stored in the header's intent field.
enum class IccRenderingIntent : std::uint32_t {
    perceptual = 0,
    relativeColorimetric = 1,
    saturation = 2,
    absoluteColorimetric = 3,
};

// Profiles the platform can make by name.
enum class IccNamedProfile {
    sRGB,        // "sRGB IEC61966-2.1", 1,024-point curve
    linearRGB,   // "Linear RGB Profile": Rec. 709 primaries, D65, gamma 1.0
    genericLab,  // a Lab identity profile with a D50 white
};

class IccProfile {
public:
    // Largest profile accepted from bytes or a file; real profiles are far smaller.
    static constexpr std::size_t kMaxProfileBytes = 64u << 20;

    // A profile from bytes (copied). Null, with the reason in *failureReason when given, when the
    // bytes are missing, too large, or not a profile lcms2 can read.
    static std::shared_ptr<const IccProfile> fromBytes(const void* data, std::size_t size,
                                                       std::string* failureReason = nullptr);
    // A profile read from a file; filePath() reports the path.
    static std::shared_ptr<const IccProfile> fromFile(const std::filesystem::path& path,
                                                      std::string* failureReason = nullptr);
    // A profile by name; made once per process and shared.
    static std::shared_ptr<const IccProfile> named(IccNamedProfile name);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    IccSignature profileClass() const { return class_; }
    IccSignature colorSpace() const { return space_; }
    IccSignature connectionSpace() const { return pcs_; }
    IccRenderingIntent renderingIntent() const { return intent_; }
    // Header version: major in the high byte, minor.bugfix in the next (0x02100000 for 2.1).
    std::uint32_t version() const { return version_; }
    // The description ('desc' of version 2 or 'mluc' of version 4) in UTF-8; empty when none.
    const std::string& description() const { return description_; }
    // The file the profile came from; empty for profiles made from bytes or by name.
    const std::filesystem::path& filePath() const { return path_; }
    // Colour channels of the data colour space (3 for RGB, 1 for GRAY, 4 for CMYK), 0 if unknown.
    int channelCount() const;
    // For an RGB profile converted through its matrix and curves alone: the
    // linear RGB-to-XYZ (D50) matrix, row-major (rows X, Y, Z). None for
    // profiles whose conversions go through tables.
    const std::optional<std::array<double, 9>>& matrixShaperColorants() const { return colorants_; }

    // Same profile data.
    bool operator==(const IccProfile& other) const { return bytes_ == other.bytes_; }

private:
    IccProfile() = default;
    static std::shared_ptr<const IccProfile> make(std::vector<std::uint8_t> bytes,
                                                  std::filesystem::path path,
                                                  std::string* failureReason);

    std::vector<std::uint8_t> bytes_;
    IccSignature class_ = 0;
    IccSignature space_ = 0;
    IccSignature pcs_ = 0;
    IccRenderingIntent intent_ = IccRenderingIntent::perceptual;
    std::uint32_t version_ = 0;
    std::string description_;
    std::filesystem::path path_;
    std::optional<std::array<double, 9>> colorants_;
};

// Linear RGB of `to` from linear RGB of `from` (row-major), when both convert
// through their matrices and curves; none when either goes through tables or
// `to`'s colorants cannot be inverted.
std::optional<std::array<double, 9>> linearRGBMatrix(const IccProfile& from, const IccProfile& to);

// One installed profile as the iteration reports it, read from its header and description.
struct IccInstalledProfile {
    std::filesystem::path path;
    IccSignature profileClass = 0;
    IccSignature colorSpace = 0;
    std::string description;
};

// The folders searched for installed profiles: /usr/share/color/icc, /usr/local/share/color/icc,
// ~/.local/share/icc and ~/.color/icc (with ~ from $HOME), unless overridden.
std::vector<std::filesystem::path> iccProfileFolders();
// Replaces the folder list (tests); std::nullopt restores the default list.
void setIccProfileFolders(std::optional<std::vector<std::filesystem::path>> folders);

// Visits every readable ".icc"/".icm" file (any case) below the folders, folder by folder and in
// path order within a folder. Unreadable files are skipped. The visitor returns false to stop.
// Folders that cannot be listed are reported through *failureReason and skipped.
void iterateInstalledIccProfiles(const std::function<bool(const IccInstalledProfile&)>& visit,
                                 std::string* failureReason = nullptr);

}  // namespace platform
