// Dates and times of metadata: a calendar date-time, a time zone offset and
// the record that combines them with subseconds. Plain values; text forms are
// locale-independent.
#pragma once

#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_date_time {
public:
    uint32 fYear = 0;
    uint32 fMonth = 0;
    uint32 fDay = 0;
    uint32 fHour = 0;
    uint32 fMinute = 0;
    uint32 fSecond = 0;

    dng_date_time() = default;
    dng_date_time(uint32 year, uint32 month, uint32 day, uint32 hour, uint32 minute, uint32 second)
        : fYear(year), fMonth(month), fDay(day), fHour(hour), fMinute(minute), fSecond(second) {}

    // Year 1..9999, month 1..12, day 1..31, hour 0..23, minute and second 0..59.
    bool IsValid() const;
    bool NotValid() const { return !IsValid(); }
    void Clear() { *this = dng_date_time(); }

    // Six unsigned numbers separated by blanks or colons; the fields keep what
    // was read; true when the result is valid.
    bool Parse(const char* text);

    bool operator==(const dng_date_time& o) const;
    bool operator!=(const dng_date_time& o) const { return !(*this == o); }
};

class dng_time_zone {
public:
    static constexpr int32 kMaxOffsetMinutes = 900;
    static constexpr int32 kInvalidOffset = -(kMaxOffsetMinutes + 1);

    dng_time_zone() = default;

    void Clear() { fOffsetMinutes = kInvalidOffset; }
    void SetOffsetHours(int32 hours) {
        // Offsets far out of range stay out of range (invalid) without overflowing.
        const int64 minutes = static_cast<int64>(hours) * 60;
        fOffsetMinutes = minutes > 0x7FFFFFFF    ? 0x7FFFFFFF
                         : minutes < -0x7FFFFFFF ? -0x7FFFFFFF
                                                 : static_cast<int32>(minutes);
    }
    void SetOffsetMinutes(int32 minutes) { fOffsetMinutes = minutes; }
    void SetOffsetSeconds(int32 seconds);

    // Within -900 .. +900 minutes.
    bool IsValid() const;
    bool NotValid() const { return !IsValid(); }
    int32 OffsetMinutes() const { return fOffsetMinutes; }
    bool IsExactHourOffset() const { return IsValid() && fOffsetMinutes % 60 == 0; }

    // "+HH:MM" / "-HH:MM"; "   :  " when unknown.
    dng_string EncodeExifOffset() const;
    // "Z", "+HH:MM" or "-HH:MM"; empty when unknown.
    dng_string EncodeISO8601() const;

    bool operator==(const dng_time_zone& o) const { return fOffsetMinutes == o.fOffsetMinutes; }
    bool operator!=(const dng_time_zone& o) const { return !(*this == o); }

private:
    int32 fOffsetMinutes = kInvalidOffset;
};

class dng_date_time_info {
public:
    dng_date_time_info() = default;

    bool IsValid() const { return fDateTime.IsValid(); }
    bool NotValid() const { return !IsValid(); }
    void Clear() { *this = dng_date_time_info(); }

    const dng_date_time& DateTime() const { return fDateTime; }
    void SetDateTime(const dng_date_time& dt) {
        fDateOnly = false;
        fDateTime = dt;
    }
    bool IsDateOnly() const { return fDateOnly; }
    void SetDate(uint32 year, uint32 month, uint32 day);

    const dng_string& Subseconds() const { return fSubseconds; }
    void SetSubseconds(const dng_string& s) { fSubseconds = s; }
    const dng_time_zone& TimeZone() const { return fTimeZone; }
    void SetZone(const dng_time_zone& zone) { fTimeZone = zone; }

    // "YYYY:MM:DD HH:MM:SS" (19 characters) as EXIF stores it.
    dng_string Encode_EXIF() const;
    // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS[.sss][zone]"; empty when invalid.
    dng_string EncodeISO8601() const;
    // Resets, then reads a date, and when present a time, subseconds and zone.
    void DecodeISO8601(const char* text);

    bool operator==(const dng_date_time_info& o) const;
    bool operator!=(const dng_date_time_info& o) const { return !(*this == o); }

private:
    bool fDateOnly = true;
    dng_date_time fDateTime;
    dng_string fSubseconds;
    dng_time_zone fTimeZone;
};

// The current local date-time with its offset from UTC.
void CurrentDateTimeAndZone(dng_date_time_info& info);
