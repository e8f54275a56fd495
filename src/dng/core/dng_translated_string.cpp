#include "dng/core/dng_translated_string.h"

#include <string>

void dng_translated_string::Clear() {
    fDefaultText.Clear();
    fTranslations.clear();
}

void dng_translated_string::Set(const char* text) {
    fDefaultText.Set(text);
    fTranslations.clear();
}

void dng_translated_string::AddTranslation(const dng_string& language, const dng_string& text) {
    dng_string lang(language);
    lang.Truncate(255);
    fTranslations.emplace_back(lang, text);
}

const dng_string& dng_translated_string::LocalText(const dng_string& language) const {
    if (language.Length() >= 5) {
        for (const auto& [lang, text] : fTranslations)
            if (lang.StartsWith(language.Get(), false)) return text;
    }
    if (language.Length() >= 2) {
        const std::string prefix(language.Get(), 2);
        for (const auto& [lang, text] : fTranslations)
            if (lang.StartsWith(prefix.c_str(), false)) return text;
    }
    return fDefaultText;
}

void dng_translated_string::Truncate(uint32 maxBytes) {
    fDefaultText.Truncate(maxBytes);
    for (auto& entry : fTranslations) entry.second.Truncate(maxBytes);
}

bool dng_translated_string::operator==(const dng_translated_string& o) const {
    return fDefaultText == o.fDefaultText && fTranslations == o.fTranslations;
}
