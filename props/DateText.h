// The text of a PT_SYSTIME value.
//
// A FILETIME (100-nanosecond intervals since 1 January 1601, UTC) is split
// into calendar fields by our own arithmetic, checked against the OLE
// Automation date range (years 100 to 9999) and rendered as the user's short
// date followed by the time with seconds; a value at exactly midnight shows
// the date alone. The value is shown as stored: no time-zone conversion.
//
// How a date looks is the user's locale's business. The application installs a
// formatter once at start-up (from its locale); without one a fixed ISO 8601
// form is used, so output stays deterministic for tools and tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct CDateTimeFields
{
    int nYear = 0;
    int nMonth = 0;        // 1..12
    int nDay = 0;          // 1..31
    int nHour = 0;
    int nMinute = 0;
    int nSecond = 0;
    int nMilliseconds = 0;
    int nDayOfWeek = 0;    // 0 = Sunday
};

// The text shown for a value that is no valid date.
inline constexpr const char* kInvalidDateTime = "Invalid DateTime";

// Splits a FILETIME into calendar fields. False when it cannot be converted
// (the top bit is set) or its year lies outside 100..9999.
bool FileTimeToFields(std::uint64_t ullFileTime, CDateTimeFields& fields);

// Renders calendar fields; bWithTime is false for a value at exactly
// midnight. An empty result counts as a failed conversion.
using DateTimeFormatter = std::function<std::string(const CDateTimeFields& fields, bool bWithTime)>;

// Installs the formatter used by FileTimeToText; an empty one restores the
// default ("2024-03-05 14:07:09", "2024-03-05" at midnight). Set once at
// start-up, before any text is formatted. A Qt application would install,
// for example:
//   QLocale loc = QLocale::system();
//   date = loc.toString(QDate(y, m, d), QLocale::ShortFormat);
//   time = loc.toString(QTime(h, min, s), loc.timeFormat(QLocale::LongFormat)
//                                            .remove("t").trimmed());  // no zone
//   return bWithTime ? date + " " + time : date;
void SetDateTimeFormatter(DateTimeFormatter formatter);

// The default formatter.
std::string DefaultDateTimeText(const CDateTimeFields& fields, bool bWithTime);

// The text of a FILETIME, or "Invalid DateTime".
std::string FileTimeToText(std::uint64_t ullFileTime);
