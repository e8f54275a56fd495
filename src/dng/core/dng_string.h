// The DNG library's text: UTF-8 in one owned buffer (null when empty), with
// conversions to and from UTF-16, the system encoding and JIS, repair of
// malformed UTF-8, ASCII transliteration, case folding, search and replace and
// the clean-ups metadata text needs. A plain value with no lock.
//
// Decoding accepts only well-formed UTF-8 (no overlong forms, surrogates,
// values above U+10FFFF or 5/6-byte forms); anything else becomes U+FFFD, so no
// ill-formed UTF-8 is produced by the conversions. The system encoding is UTF-8
// with a Latin-1 fallback for bytes that are not valid UTF-8.
#pragma once

#include "dng/core/dng_memory_data.h"
#include "dng/core/dng_types.h"

class dng_string {
public:
    dng_string() = default;
    dng_string(const dng_string& other);
    dng_string& operator=(const dng_string& other);
    explicit dng_string(const char* text) { Set(text); }
    ~dng_string() = default;

    // Raw bytes as given; null or "" clears.
    void Set(const char* text);
    // The text; "" when empty.
    const char* Get() const;
    // Bytes before the NUL (dng_error_unknown beyond 4 GB).
    uint32 Length() const;
    bool IsEmpty() const;
    bool NotEmpty() const { return !IsEmpty(); }
    void Clear() { fData.Clear(); }
    bool IsASCII() const;

    bool operator==(const dng_string& other) const;
    bool operator!=(const dng_string& other) const { return !(*this == other); }

    // Cuts to at most maxBytes without splitting a UTF-8 character.
    void Truncate(uint32 maxBytes);
    void Append(const char* text);

    void SetASCII(const char* text);
    void SetSystemEncoding(const char* text);
    void SetJIS(const char* text);
    void SetUTF8(const char* text);
    void SetUTF8OrSystem(const char* text);
    // NUL-terminated units; a leading byte-order mark is honoured.
    void SetUTF16(const uint16* units);

    // Byte count; the buffer always holds at least a terminating NUL.
    uint32 GetSystemEncoding(dng_memory_data& buffer) const;
    // Number of UTF-16 units, the terminating 0 not counted.
    uint32 GetUTF16(dng_memory_data& buffer) const;
    bool ValidSystemEncoding() const;
    static bool IsUTF8(const char* text);

    bool TrimTrailingBlanks();
    bool TrimLeadingBlanks();
    bool TrimLeading(const char* prefix, bool caseSensitive = false);
    // CR LF, LF CR, CR and LF all become the ending byte (removed when 0).
    void SetLineEndings(char ending);
    void SetLineEndingsToNewLines() { SetLineEndings('\n'); }
    void StripLowASCII();
    void NormalizeNumberList();
    void ToUpper();
    void ToLower();
    void ReplaceChar(char oldChar, char newChar);
    // Replaces non-ASCII characters by ASCII look-alikes or "?".
    void ForceASCII();

    bool Matches(const char* text, bool caseSensitive = false) const;
    static bool Matches(const char* a, const char* b, bool caseSensitive = false);
    bool StartsWith(const char* prefix, bool caseSensitive = false) const;
    bool EndsWith(const char* suffix, bool caseSensitive = false) const;
    // First occurrence; offset -1 when absent.
    bool Contains(const char* text, bool caseSensitive = false, int32* offset = nullptr) const;
    // Replaces the first occurrence only.
    bool Replace(const char* oldText, const char* newText, bool caseSensitive = true);

    // -1, 0 or 1 in code-point order; with digitsAsNumber, runs of ASCII digits
    // compare by value. Locale-independent and thread-safe.
    static int Compare(const dng_string& a, const dng_string& b, bool digitsAsNumber = false);

private:
    dng_memory_data fData;
};
