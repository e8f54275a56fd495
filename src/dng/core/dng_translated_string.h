// A text with translations by language code. A plain value with no lock.
#pragma once

#include <utility>
#include <vector>

#include "dng/core/dng_string.h"

class dng_translated_string {
public:
    dng_translated_string() = default;
    explicit dng_translated_string(const dng_string& defaultText) : fDefaultText(defaultText) {}
    explicit dng_translated_string(const char* defaultText) { Set(defaultText); }

    void Clear();
    void SetDefaultText(const dng_string& text) { fDefaultText = text; }
    // Sets the default text and drops every translation.
    void Set(const char* text);
    const dng_string& DefaultText() const { return fDefaultText; }

    // The language is cut to 255 bytes.
    void AddTranslation(const dng_string& language, const dng_string& text);
    uint32 TranslationCount() const { return static_cast<uint32>(fTranslations.size()); }
    const dng_string& Language(uint32 index) const { return fTranslations[index].first; }
    const dng_string& Translation(uint32 index) const { return fTranslations[index].second; }

    // The text of the first language starting with the given one (when it has
    // at least 5 bytes), then with its first 2 bytes; else the default text.
    const dng_string& LocalText(const dng_string& language) const;

    // Cuts the default text and every translation (not the languages).
    void Truncate(uint32 maxBytes);

    bool operator==(const dng_translated_string& o) const;
    bool operator!=(const dng_translated_string& o) const { return !(*this == o); }

private:
    dng_string fDefaultText;
    std::vector<std::pair<dng_string, dng_string>> fTranslations;
};
