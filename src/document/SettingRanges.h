// What each settings key and each preference may hold: its type and, for a
// number, the range of its control. The window's controls take their ranges
// from here, and every value read from a file a user can be handed (a
// preset, a catalog entry, Defaults.plist) is held against it before it is
// used: a number outside its range, or infinite, is clamped into it; NaN and
// a value of the wrong type give the key's default, or leave the key out
// (ignored) when it has none (its reader then uses what it uses for a missing key).
// Each value replaced is told once, naming the file, the setting (by its
// label) and the value.
// Keys not in the tables pass unchecked. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/Value.h"

class SettingRanges {
public:
    enum class Kind {
        Real,     // a number; single precision for settings
        Integer,  // a whole number
        Bool,     // a boolean, or 0, 1, "YES", "NO", "true", "false"
        Text,
        Data,
        CameraProfile,  // a DNGCameraProfileAbstract object
        IccProfile,     // a ColorSyncProfileWrap object
    };
    struct Range {
        const char* key;
        const char* label;  // the control's name, as the window shows it
        Kind kind;
        double minimum = 0, maximum = 0;  // numbers only
        // What NaN or a wrong type gives (booleans: 0 or 1); none: the key
        // is left out.
        std::optional<double> fallback;
    };

    static const std::vector<Range>& settings();
    static const std::vector<Range>& preferences();
    static const Range* settingFor(std::string_view key);

    // Mends `values` as above and answers one line per value replaced;
    // `source` names the file in those lines ("the preset file \"…\"").
    static std::vector<std::string> check(platform::Dictionary& values,
                                          const std::vector<Range>& table,
                                          const std::string& source);
    // check() against settings(), the lines told to the user (each text
    // once per process: presets are read again for every menu).
    static void checkSettings(platform::Dictionary& values, const std::string& source);
    // Vets the preferences file of `defaults`, now and whenever it is read.
    static void checkPreferences(platform::UserDefaults& defaults);
};
