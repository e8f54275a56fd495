#include "dng/core/dng_iptc.h"

#include <cstdio>
#include <string>
#include <vector>

#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"

namespace {

// Application-record dataset numbers.
enum : uint8 {
    kRecordVersion = 0,
    kObjectName = 5,
    kUrgency = 10,
    kCategory = 15,
    kSupplementalCategories = 20,
    kKeywords = 25,
    kSpecialInstructions = 40,
    kDateCreated = 55,
    kTimeCreated = 60,
    kDigitalCreationDate = 62,
    kDigitalCreationTime = 63,
    kByline = 80,
    kBylineTitle = 85,
    kCity = 90,
    kSubLocation = 92,
    kProvinceState = 95,
    kCountryCode = 100,
    kCountryName = 101,
    kTransmissionReference = 103,
    kHeadline = 105,
    kCredit = 110,
    kSource = 115,
    kCopyrightNotice = 116,
    kCaption = 120,
    kCaptionWriter = 122
};

constexpr uint8 kEnvelopeRecord = 1;
constexpr uint8 kApplicationRecord = 2;
constexpr uint8 kCodedCharacterSet = 90;
const char kUTF8Marker[] = "\x1B%G";

struct Dataset {
    uint8 record;
    uint8 number;
    std::string value;
};

// Splits a block into datasets; stops at the first malformed one.
std::vector<Dataset> ReadDatasets(const uint8* data, uint32 size) {
    std::vector<Dataset> out;
    uint64 pos = 0;
    while (pos + 5 <= size) {
        if (data[pos] != 0x1C) break;
        const uint8 record = data[pos + 1];
        const uint8 number = data[pos + 2];
        uint64 length = (static_cast<uint32>(data[pos + 3]) << 8) | data[pos + 4];
        pos += 5;
        if (length & 0x8000) {
            // Extended dataset: the low bits give how many length bytes follow.
            const uint32 lengthBytes = static_cast<uint32>(length & 0x7FFF);
            if (lengthBytes == 0 || lengthBytes > 4 || pos + lengthBytes > size) break;
            length = 0;
            for (uint32 i = 0; i < lengthBytes; i++) length = (length << 8) | data[pos++];
        }
        if (length > size - pos) break;
        out.push_back(
            {record, number,
             std::string(reinterpret_cast<const char*>(data + pos), static_cast<size_t>(length))});
        pos += length;
    }
    return out;
}

void SetText(dng_string& s, const std::string& bytes, bool utf8) {
    // Datasets may hold NUL padding; the text ends at the first NUL.
    const std::string text(bytes.c_str());
    if (utf8)
        s.SetUTF8(text.c_str());
    else
        s.SetUTF8OrSystem(text.c_str());
    s.TrimTrailingBlanks();
}

uint32 Digits(const std::string& s, size_t at, size_t count, bool* ok) {
    uint32 v = 0;
    for (size_t i = at; i < at + count; i++) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') {
            *ok = false;
            return 0;
        }
        v = v * 10 + static_cast<uint32>(s[i] - '0');
    }
    return v;
}

// "CCYYMMDD".
void ParseDate(const std::string& s, dng_date_time_info& info) {
    bool ok = true;
    const uint32 y = Digits(s, 0, 4, &ok), m = Digits(s, 4, 2, &ok), d = Digits(s, 6, 2, &ok);
    if (!ok) return;
    dng_date_time_info parsed;
    parsed.SetDate(y, m, d);
    if (parsed.IsValid()) info = parsed;
}

// "HHMMSS±HHMM", applied to a date read before.
void ParseTime(const std::string& s, dng_date_time_info& info) {
    if (info.NotValid()) return;
    bool ok = true;
    dng_date_time dt = info.DateTime();
    dt.fHour = Digits(s, 0, 2, &ok);
    dt.fMinute = Digits(s, 2, 2, &ok);
    dt.fSecond = Digits(s, 4, 2, &ok);
    if (!ok || !dt.IsValid()) return;
    info.SetDateTime(dt);
    if (s.size() >= 11 && (s[6] == '+' || s[6] == '-')) {
        bool zoneOk = true;
        const uint32 hours = Digits(s, 7, 2, &zoneOk), minutes = Digits(s, 9, 2, &zoneOk);
        if (zoneOk && hours <= 15 && minutes <= 59) {
            dng_time_zone zone;
            const int32 offset = static_cast<int32>(hours * 60 + minutes);
            zone.SetOffsetMinutes(s[6] == '-' ? -offset : offset);
            info.SetZone(zone);
        }
    }
}

class Spooler {
public:
    explicit Spooler(dng_stream& stream) : fStream(stream) {}

    void Raw(uint8 record, uint8 number, const void* data, uint32 length) {
        fStream.PutUInt8(0x1C);
        fStream.PutUInt8(record);
        fStream.PutUInt8(number);
        fStream.PutUInt16(static_cast<uint16>(length));
        fStream.WriteBytes(data, length);
    }

    void Text(uint8 number, const dng_string& s, uint32 maxBytes) {
        if (s.IsEmpty()) return;
        dng_string cut(s);
        cut.Truncate(maxBytes);
        Raw(kApplicationRecord, number, cut.Get(), cut.Length());
    }

    void List(uint8 number, const dng_string_list& list, uint32 maxBytes) {
        for (uint32 i = 0; i < list.Count(); i++) Text(number, list[i], maxBytes);
    }

    void DateTime(uint8 dateNumber, uint8 timeNumber, const dng_date_time_info& info) {
        if (info.NotValid()) return;
        const dng_date_time& dt = info.DateTime();
        char text[32];
        std::snprintf(text, sizeof(text), "%04u%02u%02u", dt.fYear, dt.fMonth, dt.fDay);
        Raw(kApplicationRecord, dateNumber, text, 8);
        if (info.IsDateOnly()) return;
        const dng_time_zone& zone = info.TimeZone();
        const int32 offset = zone.IsValid() ? zone.OffsetMinutes() : 0;
        const int32 magnitude = offset < 0 ? -offset : offset;
        std::snprintf(text, sizeof(text), "%02u%02u%02u%c%02d%02d", dt.fHour, dt.fMinute,
                      dt.fSecond, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
        Raw(kApplicationRecord, timeNumber, text, 11);
    }

private:
    dng_stream& fStream;
};

bool AnyNonASCII(const dng_iptc& r) {
    const dng_string* texts[] = {&r.fTitle,        &r.fCategory,
                                 &r.fInstructions, &r.fAuthorsPosition,
                                 &r.fCity,         &r.fState,
                                 &r.fCountry,      &r.fCountryCode,
                                 &r.fLocation,     &r.fTransmissionReference,
                                 &r.fHeadline,     &r.fCredit,
                                 &r.fSource,       &r.fCopyrightNotice,
                                 &r.fDescription,  &r.fDescriptionWriter};
    for (const dng_string* s : texts)
        if (!s->IsASCII()) return true;
    const dng_string_list* lists[] = {&r.fSupplementalCategories, &r.fKeywords, &r.fAuthors};
    for (const dng_string_list* l : lists)
        for (uint32 i = 0; i < l->Count(); i++)
            if (!(*l)[i].IsASCII()) return true;
    return false;
}

}  // namespace

dng_iptc::~dng_iptc() = default;

bool dng_iptc::IsEmpty() const {
    const dng_string* texts[] = {
        &fTitle,   &fCategory,        &fInstructions, &fAuthorsPosition,       &fCity,     &fState,
        &fCountry, &fCountryCode,     &fLocation,     &fTransmissionReference, &fHeadline, &fCredit,
        &fSource,  &fCopyrightNotice, &fDescription,  &fDescriptionWriter};
    for (const dng_string* s : texts)
        if (s->NotEmpty()) return false;
    return fUrgency < 0 && fSupplementalCategories.Count() == 0 && fKeywords.Count() == 0 &&
           fAuthors.Count() == 0 && fDateTimeCreated.NotValid() &&
           fDigitalCreationDateTime.NotValid();
}

void dng_iptc::Parse(const void* blockData, uint32 blockSize, uint64) {
    if (!blockData || blockSize == 0) return;
    const std::vector<Dataset> sets = ReadDatasets(static_cast<const uint8*>(blockData), blockSize);
    bool utf8 = false;
    for (const Dataset& d : sets)
        if (d.record == kEnvelopeRecord && d.number == kCodedCharacterSet && d.value == kUTF8Marker)
            utf8 = true;
    for (const Dataset& d : sets) {
        if (d.record != kApplicationRecord) continue;
        dng_string text;
        switch (d.number) {
            case kObjectName:
                SetText(fTitle, d.value, utf8);
                break;
            case kUrgency:
                if (!d.value.empty() && d.value[0] >= '0' && d.value[0] <= '9')
                    fUrgency = d.value[0] - '0';
                break;
            case kCategory:
                SetText(fCategory, d.value, utf8);
                break;
            case kSupplementalCategories:
                SetText(text, d.value, utf8);
                if (text.NotEmpty()) fSupplementalCategories.Append(text);
                break;
            case kKeywords:
                SetText(text, d.value, utf8);
                if (text.NotEmpty()) fKeywords.Append(text);
                break;
            case kSpecialInstructions:
                SetText(fInstructions, d.value, utf8);
                break;
            case kDateCreated:
                ParseDate(d.value, fDateTimeCreated);
                break;
            case kTimeCreated:
                ParseTime(d.value, fDateTimeCreated);
                break;
            case kDigitalCreationDate:
                ParseDate(d.value, fDigitalCreationDateTime);
                break;
            case kDigitalCreationTime:
                ParseTime(d.value, fDigitalCreationDateTime);
                break;
            case kByline:
                SetText(text, d.value, utf8);
                if (text.NotEmpty()) fAuthors.Append(text);
                break;
            case kBylineTitle:
                SetText(fAuthorsPosition, d.value, utf8);
                break;
            case kCity:
                SetText(fCity, d.value, utf8);
                break;
            case kSubLocation:
                SetText(fLocation, d.value, utf8);
                break;
            case kProvinceState:
                SetText(fState, d.value, utf8);
                break;
            case kCountryCode:
                SetText(fCountryCode, d.value, utf8);
                break;
            case kCountryName:
                SetText(fCountry, d.value, utf8);
                break;
            case kTransmissionReference:
                SetText(fTransmissionReference, d.value, utf8);
                break;
            case kHeadline:
                SetText(fHeadline, d.value, utf8);
                break;
            case kCredit:
                SetText(fCredit, d.value, utf8);
                break;
            case kSource:
                SetText(fSource, d.value, utf8);
                break;
            case kCopyrightNotice:
                SetText(fCopyrightNotice, d.value, utf8);
                break;
            case kCaption:
                SetText(fDescription, d.value, utf8);
                break;
            case kCaptionWriter:
                SetText(fDescriptionWriter, d.value, utf8);
                break;
            default:
                break;
        }
    }
}

std::unique_ptr<dng_memory_block> dng_iptc::Spool(dng_memory_allocator& allocator,
                                                  bool padForTIFF) const {
    dng_memory_stream stream(allocator, nullptr, 2048);
    stream.SetBigEndian();
    Spooler out(stream);

    if (AnyNonASCII(*this)) out.Raw(kEnvelopeRecord, kCodedCharacterSet, kUTF8Marker, 3);
    const uint8 version[2] = {0, 4};
    out.Raw(kApplicationRecord, kRecordVersion, version, 2);

    out.Text(kObjectName, fTitle, 64);
    if (fUrgency >= 0 && fUrgency <= 9) {
        const char urgency = static_cast<char>('0' + fUrgency);
        out.Raw(kApplicationRecord, kUrgency, &urgency, 1);
    }
    out.Text(kCategory, fCategory, 3);
    out.List(kSupplementalCategories, fSupplementalCategories, 32);
    out.List(kKeywords, fKeywords, 64);
    out.Text(kSpecialInstructions, fInstructions, 256);
    out.DateTime(kDateCreated, kTimeCreated, fDateTimeCreated);
    out.DateTime(kDigitalCreationDate, kDigitalCreationTime, fDigitalCreationDateTime);
    out.List(kByline, fAuthors, 32);
    out.Text(kBylineTitle, fAuthorsPosition, 32);
    out.Text(kCity, fCity, 32);
    out.Text(kSubLocation, fLocation, 32);
    out.Text(kProvinceState, fState, 32);
    out.Text(kCountryCode, fCountryCode, 3);
    out.Text(kCountryName, fCountry, 64);
    out.Text(kTransmissionReference, fTransmissionReference, 32);
    out.Text(kHeadline, fHeadline, 256);
    out.Text(kCredit, fCredit, 32);
    out.Text(kSource, fSource, 32);
    out.Text(kCopyrightNotice, fCopyrightNotice, 128);
    out.Text(kCaption, fDescription, 2000);
    out.Text(kCaptionWriter, fDescriptionWriter, 32);

    if (padForTIFF) {
        while (stream.Position() & 3) stream.PutUInt8(0);
    }
    stream.Flush();
    return stream.CopyToMemoryBlock(allocator);
}
