#include "dng/core/dng_string.h"

#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "dng/core/dng_exception.h"

namespace {

constexpr uint32 kReplacement = 0xFFFD;

// Decodes one character of well-formed UTF-8. Ill-formed input yields U+FFFD
// and consumes the lead byte plus any continuation bytes that fit its form.
uint32 DecodeUTF8(const uint8*& p, size_t available, bool* valid) {
    const uint8 lead = *p;
    if (lead < 0x80) {
        p++;
        return lead;
    }
    uint32 length, cp, minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        p++;
        if (valid) *valid = false;
        return kReplacement;
    }
    uint32 i = 1;
    for (; i < length; i++) {
        if (i >= available || (p[i] & 0xC0) != 0x80) break;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += i;
    if (i < length || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        if (valid) *valid = false;
        return kReplacement;
    }
    return cp;
}

void EncodeUTF8(uint32 cp, std::string& out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::vector<uint32> DecodeAll(const char* text) {
    std::vector<uint32> out;
    const uint8* p = reinterpret_cast<const uint8*>(text);
    const uint8* end = p + std::strlen(text);
    while (p < end) out.push_back(DecodeUTF8(p, static_cast<size_t>(end - p), nullptr));
    return out;
}

std::string Sanitized(const char* text) {
    std::string out;
    for (uint32 cp : DecodeAll(text)) EncodeUTF8(cp, out);
    return out;
}

bool HasHighBit(const char* text) {
    for (const char* p = text; *p; p++)
        if (static_cast<uint8>(*p) & 0x80) return true;
    return false;
}

char Fold(char c, bool caseSensitive) {
    if (!caseSensitive && c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    return c;
}

bool EqualBytes(const char* a, const char* b, size_t n, bool caseSensitive) {
    for (size_t i = 0; i < n; i++)
        if (Fold(a[i], caseSensitive) != Fold(b[i], caseSensitive)) return false;
    return true;
}

// Position of the first occurrence, or -1.
int64 Find(const char* text, const char* pattern, bool caseSensitive) {
    const size_t n = std::strlen(text), m = std::strlen(pattern);
    if (m > n) return -1;
    for (size_t i = 0; i + m <= n; i++)
        if (EqualBytes(text + i, pattern, m, caseSensitive)) return static_cast<int64>(i);
    return -1;
}

// Converts text in a named encoding to UTF-8; false on any conversion error.
bool ConvertToUTF8(const char* fromCode, const char* text, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", fromCode);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    const size_t inLength = std::strlen(text);
    std::string result(inLength * 4 + 16, '\0');
    char* in = const_cast<char*>(text);
    size_t inLeft = inLength;
    char* outPtr = result.data();
    size_t outLeft = result.size();
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return false;
    result.resize(result.size() - outLeft);
    out = result;
    return true;
}

struct AsciiReplacement {
    uint32 first;
    uint32 last;
    const char* text;
};

const AsciiReplacement kAsciiTable[] = {
    {0x00A0, 0x00A0, " "},   {0x00A1, 0x00A1, "!"},  {0x00A9, 0x00A9, "(C)"},
    {0x00AA, 0x00AA, "a"},   {0x00AB, 0x00AB, "<<"}, {0x00AC, 0x00AC, "!"},
    {0x00AE, 0x00AE, "(R)"}, {0x00B0, 0x00B0, "dg"}, {0x00B1, 0x00B1, "+-"},
    {0x00B7, 0x00B7, "."},   {0x00BA, 0x00BA, "o"},  {0x00BB, 0x00BB, ">>"},
    {0x00BF, 0x00BF, "?"},   {0x00C0, 0x00C5, "A"},  {0x00C6, 0x00C6, "AE"},
    {0x00C7, 0x00C7, "C"},   {0x00C8, 0x00CB, "E"},  {0x00CC, 0x00CF, "I"},
    {0x00D1, 0x00D1, "N"},   {0x00D2, 0x00D6, "O"},  {0x00D8, 0x00D8, "O"},
    {0x00D9, 0x00DC, "U"},   {0x00DD, 0x00DD, "Y"},  {0x00E0, 0x00E5, "a"},
    {0x00E6, 0x00E6, "ae"},  {0x00E7, 0x00E7, "c"},  {0x00E8, 0x00EB, "e"},
    {0x00EC, 0x00EF, "i"},   {0x00F1, 0x00F1, "n"},  {0x00F2, 0x00F6, "o"},
    {0x00F7, 0x00F7, "/"},   {0x00F8, 0x00F8, "o"},  {0x00F9, 0x00FC, "u"},
    {0x00FD, 0x00FD, "y"},   {0x00FF, 0x00FF, "y"},  {0x0131, 0x0131, "i"},
    {0x0152, 0x0152, "OE"},  {0x0153, 0x0153, "oe"}, {0x0178, 0x0178, "Y"},
    {0x2013, 0x2014, "-"},   {0x2018, 0x2019, "'"},  {0x201A, 0x201A, ","},
    {0x201C, 0x201D, "\""},  {0x201E, 0x201E, ",,"}, {0x2022, 0x2022, "."},
    {0x2026, 0x2026, "..."}, {0x2039, 0x2039, "<"},  {0x203A, 0x203A, ">"},
    {0x2044, 0x2044, "/"},   {0x2122, 0x2122, "TM"}, {0x2206, 0x2206, "d"},
    {0x2211, 0x2211, "S"},   {0x2260, 0x2260, "!="}, {0x2264, 0x2264, "<="},
    {0x2265, 0x2265, ">="},  {0x2318, 0x2318, "#"},  {0xFB01, 0xFB01, "fi"},
    {0xFB02, 0xFB02, "fl"},
};

const char* AsciiFor(uint32 cp) {
    for (const AsciiReplacement& r : kAsciiTable)
        if (cp >= r.first && cp <= r.last) return r.text;
    return "?";
}

bool IsDigit(uint32 c) { return c >= '0' && c <= '9'; }

}  // namespace

dng_string::dng_string(const dng_string& other) { Set(other.Get()); }

dng_string& dng_string::operator=(const dng_string& other) {
    if (this != &other) Set(other.Get());
    return *this;
}

void dng_string::Set(const char* text) {
    if (!text || !*text) {
        Clear();
        return;
    }
    const size_t newLength = std::strlen(text);
    if (newLength >= 0xFFFFFFFFu) ThrowProgramError("String too long");
    // Set may be given our own text (or a part of it): copy before reallocating.
    if (fData.Buffer() && newLength <= std::strlen(fData.Buffer_char())) {
        std::memmove(fData.Buffer_char(), text, newLength + 1);
        return;
    }
    dng_memory_data fresh(static_cast<uint32>(newLength + 1));
    std::memcpy(fresh.Buffer(), text, newLength + 1);
    fData.Allocate(static_cast<uint32>(newLength + 1));
    std::memcpy(fData.Buffer(), fresh.Buffer(), newLength + 1);
}

const char* dng_string::Get() const { return fData.Buffer() ? fData.Buffer_char() : ""; }

uint32 dng_string::Length() const {
    const size_t n = std::strlen(Get());
    if (n > 0xFFFFFFFFu) ThrowProgramError("String too long");
    return static_cast<uint32>(n);
}

bool dng_string::IsEmpty() const { return *Get() == 0; }

bool dng_string::IsASCII() const { return !HasHighBit(Get()); }

bool dng_string::operator==(const dng_string& other) const {
    return std::strcmp(Get(), other.Get()) == 0;
}

void dng_string::Truncate(uint32 maxBytes) {
    if (Length() <= maxBytes) return;
    char* s = fData.Buffer_char();
    uint32 index = maxBytes;
    while (index > 0 && (static_cast<uint8>(s[index]) & 0xC0) == 0x80) index--;
    s[index] = 0;
    if (index == 0) Clear();
}

void dng_string::Append(const char* text) {
    if (!text || !*text) return;
    std::string joined(Get());
    joined += text;
    Set(joined.c_str());
}

void dng_string::SetASCII(const char* text) {
    if (text && HasHighBit(text))
        SetSystemEncoding(text);
    else
        Set(text);
}

void dng_string::SetSystemEncoding(const char* text) {
    if (!text || !HasHighBit(text)) {
        Set(text);
        return;
    }
    if (IsUTF8(text)) {
        Set(text);
        return;
    }
    // Not UTF-8: each byte is a Latin-1 character.
    std::string out;
    for (const char* p = text; *p; p++) EncodeUTF8(static_cast<uint8>(*p), out);
    Set(out.c_str());
}

// Japanese text with high-bit bytes is taken as EUC-JP, else as Shift_JIS;
// text that is neither is dropped.
void dng_string::SetJIS(const char* text) {
    if (!text || !HasHighBit(text)) {
        Set(text);
        return;
    }
    std::string out;
    if (ConvertToUTF8("EUC-JP", text, out) || ConvertToUTF8("SHIFT_JIS", text, out))
        SetUTF8(out.c_str());
    else
        Clear();
}

void dng_string::SetUTF8(const char* text) {
    if (!text) {
        Clear();
        return;
    }
    Set(Sanitized(text).c_str());
}

void dng_string::SetUTF8OrSystem(const char* text) {
    if (!text || !HasHighBit(text))
        Set(text);
    else if (IsUTF8(text))
        SetUTF8(text);
    else
        SetSystemEncoding(text);
}

void dng_string::SetUTF16(const uint16* units) {
    if (!units) {
        Clear();
        return;
    }
    bool swap = false;
    if (*units == 0xFFFE) {
        swap = true;
        units++;
    } else if (*units == 0xFEFF) {
        units++;
    }
    auto unit = [&](size_t i) -> uint32 {
        const uint16 u = units[i];
        return swap ? static_cast<uint16>((u >> 8) | (u << 8)) : u;
    };
    std::string out;
    for (size_t i = 0; unit(i) != 0; i++) {
        uint32 cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const uint32 low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i++;
            } else {
                cp = kReplacement;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        EncodeUTF8(cp, out);
    }
    Set(out.c_str());
}

uint32 dng_string::GetSystemEncoding(dng_memory_data& buffer) const {
    const std::string out = IsASCII() ? std::string(Get()) : Sanitized(Get());
    const uint32 length = static_cast<uint32>(out.size());
    buffer.Allocate(SafeUint32Add(length, 1));
    std::memcpy(buffer.Buffer(), out.c_str(), length + 1);
    return length;
}

uint32 dng_string::GetUTF16(dng_memory_data& buffer) const {
    std::vector<uint16> units;
    for (uint32 cp : DecodeAll(Get())) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<uint16>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<uint16>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16>(cp));
        }
    }
    const uint32 count = static_cast<uint32>(units.size());
    buffer.Allocate(SafeUint32Add(count, 1), sizeof(uint16));
    if (count) std::memcpy(buffer.Buffer(), units.data(), count * sizeof(uint16));
    buffer.Buffer_uint16()[count] = 0;
    return count;
}

bool dng_string::ValidSystemEncoding() const { return IsASCII() || IsUTF8(Get()); }

bool dng_string::IsUTF8(const char* text) {
    if (!text) return true;
    const uint8* p = reinterpret_cast<const uint8*>(text);
    const uint8* end = p + std::strlen(text);
    bool valid = true;
    while (p < end && valid) DecodeUTF8(p, static_cast<size_t>(end - p), &valid);
    return valid;
}

bool dng_string::TrimTrailingBlanks() {
    std::string s(Get());
    const size_t n = s.size();
    while (!s.empty() && s.back() == ' ') s.pop_back();
    if (s.size() == n) return false;
    Set(s.c_str());
    return true;
}

bool dng_string::TrimLeadingBlanks() {
    const char* s = Get();
    const char* p = s;
    while (*p == ' ') p++;
    if (p == s) return false;
    Set(std::string(p).c_str());
    return true;
}

bool dng_string::TrimLeading(const char* prefix, bool caseSensitive) {
    if (!prefix || !*prefix || !StartsWith(prefix, caseSensitive)) return false;
    Set(std::string(Get() + std::strlen(prefix)).c_str());
    return true;
}

void dng_string::SetLineEndings(char ending) {
    const std::string s(Get());
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        const char c = s[i];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        if (i + 1 < s.size() && (s[i + 1] == '\r' || s[i + 1] == '\n') && s[i + 1] != c) i++;
        if (ending) out += ending;
    }
    Set(out.c_str());
}

void dng_string::StripLowASCII() {
    std::string out;
    for (const char* p = Get(); *p; p++) {
        const uint8 c = static_cast<uint8>(*p);
        if (c >= 0x20 || c == '\n' || c == '\r') out += *p;
    }
    Set(out.c_str());
}

void dng_string::NormalizeNumberList() {
    std::string out;
    bool inRun = false;
    for (const char* p = Get(); *p; p++) {
        const char c = *p;
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e') {
            out += c;
            inRun = false;
        } else if (!inRun) {
            out += ',';
            inRun = true;
        }
    }
    Set(out.c_str());
}

void dng_string::ToUpper() {
    if (IsEmpty()) return;
    for (char* p = fData.Buffer_char(); *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
}

void dng_string::ToLower() {
    if (IsEmpty()) return;
    for (char* p = fData.Buffer_char(); *p; p++)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
}

void dng_string::ReplaceChar(char oldChar, char newChar) {
    if (IsEmpty() || oldChar == 0) return;
    std::string s(Get());
    for (char& c : s)
        if (c == oldChar) c = newChar;
    Set(s.c_str());
}

void dng_string::ForceASCII() {
    if (IsASCII()) return;
    std::string out;
    for (uint32 cp : DecodeAll(Get())) {
        if (cp < 0x80)
            out += static_cast<char>(cp);
        else
            out += AsciiFor(cp);
    }
    Set(out.c_str());
}

bool dng_string::Matches(const char* text, bool caseSensitive) const {
    return Matches(Get(), text ? text : "", caseSensitive);
}

bool dng_string::Matches(const char* a, const char* b, bool caseSensitive) {
    const size_t n = std::strlen(a);
    return n == std::strlen(b) && EqualBytes(a, b, n, caseSensitive);
}

bool dng_string::StartsWith(const char* prefix, bool caseSensitive) const {
    if (!prefix) return true;
    const size_t m = std::strlen(prefix);
    return m <= Length() && EqualBytes(Get(), prefix, m, caseSensitive);
}

bool dng_string::EndsWith(const char* suffix, bool caseSensitive) const {
    if (!suffix) return true;
    const size_t m = std::strlen(suffix), n = Length();
    return m <= n && EqualBytes(Get() + n - m, suffix, m, caseSensitive);
}

bool dng_string::Contains(const char* text, bool caseSensitive, int32* offset) const {
    const int64 at = Find(Get(), text ? text : "", caseSensitive);
    if (offset) *offset = static_cast<int32>(at);
    return at >= 0;
}

bool dng_string::Replace(const char* oldText, const char* newText, bool caseSensitive) {
    if (!oldText || !*oldText) return false;
    const int64 at = Find(Get(), oldText, caseSensitive);
    if (at < 0) return false;
    std::string s(Get());
    s.replace(static_cast<size_t>(at), std::strlen(oldText), newText ? newText : "");
    Set(s.c_str());
    return true;
}

int dng_string::Compare(const dng_string& a, const dng_string& b, bool digitsAsNumber) {
    if (a.IsEmpty()) return b.IsEmpty() ? 0 : -1;
    if (b.IsEmpty()) return 1;
    const std::vector<uint32> x = DecodeAll(a.Get());
    const std::vector<uint32> y = DecodeAll(b.Get());
    size_t i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        if (digitsAsNumber && IsDigit(x[i]) && IsDigit(y[j])) {
            size_t ie = i, je = j;
            while (ie < x.size() && IsDigit(x[ie])) ie++;
            while (je < y.size() && IsDigit(y[je])) je++;
            size_t is = i, js = j;
            while (is + 1 < ie && x[is] == '0') is++;
            while (js + 1 < je && y[js] == '0') js++;
            // More significant digits means a larger value.
            if (ie - is != je - js) return ie - is < je - js ? -1 : 1;
            for (; is < ie; is++, js++)
                if (x[is] != y[js]) return x[is] < y[js] ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        if (x[i] != y[j]) return x[i] < y[j] ? -1 : 1;
        i++;
        j++;
    }
    if (i < x.size()) return 1;
    if (j < y.size()) return -1;
    return 0;
}
