#include "dng/core/dng_date_time.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Reads an unsigned decimal number (saturating); false when no digit is there.
bool ReadNumber(const char*& p, uint32& value) {
    if (*p < '0' || *p > '9') return false;
    uint64 v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 0xFFFFFFFFull) v = v * 10 + static_cast<uint32>(*p - '0');
        p++;
    }
    value = v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32>(v);
    return true;
}

bool Expect(const char*& p, char c) {
    if (*p != c) return false;
    p++;
    return true;
}

}  // namespace

bool dng_date_time::IsValid() const {
    return fYear >= 1 && fYear <= 9999 && fMonth >= 1 && fMonth <= 12 && fDay >= 1 && fDay <= 31 &&
           fHour <= 23 && fMinute <= 59 && fSecond <= 59;
}

bool dng_date_time::Parse(const char* text) {
    Clear();
    if (!text) return false;
    uint32* fields[6] = {&fYear, &fMonth, &fDay, &fHour, &fMinute, &fSecond};
    const char* p = text;
    for (uint32* field : fields) {
        while (*p == ' ' || *p == ':') p++;
        if (!ReadNumber(p, *field)) break;
    }
    return IsValid();
}

bool dng_date_time::operator==(const dng_date_time& o) const {
    return fYear == o.fYear && fMonth == o.fMonth && fDay == o.fDay && fHour == o.fHour &&
           fMinute == o.fMinute && fSecond == o.fSecond;
}

void dng_time_zone::SetOffsetSeconds(int32 seconds) {
    // Rounded to the nearest minute, half away from zero.
    const int64 s = seconds;
    fOffsetMinutes = static_cast<int32>(s >= 0 ? (s + 30) / 60 : -((-s + 30) / 60));
}

bool dng_time_zone::IsValid() const {
    return fOffsetMinutes >= -kMaxOffsetMinutes && fOffsetMinutes <= kMaxOffsetMinutes;
}

dng_string dng_time_zone::EncodeExifOffset() const {
    dng_string result;
    if (!IsValid()) {
        result.Set("   :  ");
        return result;
    }
    const int32 magnitude = std::abs(fOffsetMinutes);
    char text[16];
    std::snprintf(text, sizeof(text), "%c%02d:%02d", fOffsetMinutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    result.Set(text);
    return result;
}

dng_string dng_time_zone::EncodeISO8601() const {
    dng_string result;
    if (!IsValid()) return result;
    if (fOffsetMinutes == 0) {
        result.Set("Z");
        return result;
    }
    return EncodeExifOffset();
}

void dng_date_time_info::SetDate(uint32 year, uint32 month, uint32 day) {
    fDateOnly = true;
    fDateTime = dng_date_time(year, month, day, 0, 0, 0);
}

dng_string dng_date_time_info::Encode_EXIF() const {
    char text[96];
    std::snprintf(text, sizeof(text), "%04u:%02u:%02u %02u:%02u:%02u", fDateTime.fYear,
                  fDateTime.fMonth, fDateTime.fDay, fDateTime.fHour, fDateTime.fMinute,
                  fDateTime.fSecond);
    return dng_string(text);
}

dng_string dng_date_time_info::EncodeISO8601() const {
    dng_string result;
    if (!IsValid()) return result;
    char text[96];
    if (fDateOnly) {
        std::snprintf(text, sizeof(text), "%04u-%02u-%02u", fDateTime.fYear, fDateTime.fMonth,
                      fDateTime.fDay);
        result.Set(text);
        return result;
    }
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u", fDateTime.fYear,
                  fDateTime.fMonth, fDateTime.fDay, fDateTime.fHour, fDateTime.fMinute,
                  fDateTime.fSecond);
    result.Set(text);
    if (fSubseconds.NotEmpty()) {
        bool digits = true;
        for (const char* p = fSubseconds.Get(); *p; p++) digits &= (*p >= '0' && *p <= '9');
        if (digits) {
            result.Append(".");
            result.Append(fSubseconds.Get());
        }
    }
    result.Append(fTimeZone.EncodeISO8601().Get());
    return result;
}

void dng_date_time_info::DecodeISO8601(const char* text) {
    Clear();
    if (!text) return;
    const char* p = text;
    dng_date_time dt;
    if (!ReadNumber(p, dt.fYear)) return;
    if (Expect(p, '-') && ReadNumber(p, dt.fMonth) && Expect(p, '-')) ReadNumber(p, dt.fDay);
    if (!Expect(p, 'T')) {
        SetDate(dt.fYear, dt.fMonth, dt.fDay);
        return;
    }
    if (ReadNumber(p, dt.fHour) && Expect(p, ':') && ReadNumber(p, dt.fMinute) && Expect(p, ':'))
        ReadNumber(p, dt.fSecond);
    SetDateTime(dt);
    if (*p == '.' || *p == ',') {
        p++;
        std::string digits;
        while (*p >= '0' && *p <= '9') digits += *p++;
        fSubseconds.Set(digits.c_str());
    }
    if (*p == 'Z' || *p == 'z') {
        fTimeZone.SetOffsetMinutes(0);
    } else if (*p == '+' || *p == '-') {
        const int32 sign = *p == '-' ? -1 : 1;
        p++;
        uint32 hours = 0, minutes = 0;
        const char* start = p;
        if (ReadNumber(p, hours)) {
            if (p - start == 4) {
                minutes = hours % 100;
                hours /= 100;
            } else if (Expect(p, ':')) {
                ReadNumber(p, minutes);
            }
            if (hours <= 15 && minutes <= 59)
                fTimeZone.SetOffsetMinutes(sign * static_cast<int32>(hours * 60 + minutes));
        }
    }
}

bool dng_date_time_info::operator==(const dng_date_time_info& o) const {
    return fDateOnly == o.fDateOnly && fDateTime == o.fDateTime && fSubseconds == o.fSubseconds &&
           fTimeZone == o.fTimeZone;
}

void CurrentDateTimeAndZone(dng_date_time_info& info) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    info.SetDateTime(dng_date_time(
        static_cast<uint32>(local.tm_year + 1900), static_cast<uint32>(local.tm_mon + 1),
        static_cast<uint32>(local.tm_mday), static_cast<uint32>(local.tm_hour),
        static_cast<uint32>(local.tm_min), static_cast<uint32>(std::min(local.tm_sec, 59))));
    dng_time_zone zone;
    zone.SetOffsetSeconds(static_cast<int32>(local.tm_gmtoff));
    info.SetZone(zone);
}
