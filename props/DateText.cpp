#include "props/DateText.h"

#include <cstdio>
#include <utility>

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
constexpr std::int64_t kSecondsPerDay = 86400;
// Days from 1 January 1601 to 1 January 1970.
constexpr std::int64_t kDays1601To1970 = 134774;

DateTimeFormatter& Formatter()
{
    static DateTimeFormatter formatter;
    return formatter;
}

// Proleptic Gregorian date of a day count relative to 1 January 1970
// (H. Hinnant's civil_from_days).
void CivilFromDays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

} // namespace

bool FileTimeToFields(std::uint64_t ullFileTime, CDateTimeFields& fields)
{
    if (ullFileTime & 0x8000000000000000ULL)
        return false;

    const std::uint64_t totalSeconds = ullFileTime / kTicksPerSecond;
    const auto days = static_cast<std::int64_t>(totalSeconds / kSecondsPerDay);
    const auto secondOfDay = static_cast<std::int64_t>(totalSeconds % kSecondsPerDay);

    CDateTimeFields f;
    CivilFromDays(days - kDays1601To1970, f.nYear, f.nMonth, f.nDay);
    if (f.nYear < 100 || f.nYear > 9999)
        return false;
    f.nHour = static_cast<int>(secondOfDay / 3600);
    f.nMinute = static_cast<int>(secondOfDay / 60 % 60);
    f.nSecond = static_cast<int>(secondOfDay % 60);
    f.nMilliseconds = static_cast<int>(ullFileTime % kTicksPerSecond / 10000);
    // 1 January 1601 was a Monday.
    f.nDayOfWeek = static_cast<int>((days + 1) % 7);
    fields = f;
    return true;
}

void SetDateTimeFormatter(DateTimeFormatter formatter)
{
    Formatter() = std::move(formatter);
}

std::string DefaultDateTimeText(const CDateTimeFields& f, bool bWithTime)
{
    // "%04d-%02d-%02d %02d:%02d:%02d" (or the date alone), written digit by digit:
    // every date of every object listed passes here.
    if (f.nYear < 0 || f.nYear > 9999) {
        char sz[64];
        if (bWithTime)
            std::snprintf(sz, sizeof sz, "%04d-%02d-%02d %02d:%02d:%02d", f.nYear, f.nMonth, f.nDay, f.nHour,
                          f.nMinute, f.nSecond);
        else
            std::snprintf(sz, sizeof sz, "%04d-%02d-%02d", f.nYear, f.nMonth, f.nDay);
        return sz;
    }
    std::string text;
    text.reserve(19);
    auto two = [&](int n) {
        if (n < 0 || n > 99) {
            text += std::to_string(n);
            return;
        }
        text += static_cast<char>('0' + n / 10);
        text += static_cast<char>('0' + n % 10);
    };
    two(f.nYear / 100);
    two(f.nYear % 100);
    text += '-';
    two(f.nMonth);
    text += '-';
    two(f.nDay);
    if (bWithTime) {
        text += ' ';
        two(f.nHour);
        text += ':';
        two(f.nMinute);
        text += ':';
        two(f.nSecond);
    }
    return text;
}

std::string FileTimeToText(std::uint64_t ullFileTime)
{
    CDateTimeFields fields;
    if (!FileTimeToFields(ullFileTime, fields))
        return kInvalidDateTime;
    // The OLE date drops the milliseconds; midnight is judged without them.
    const bool bWithTime = fields.nHour != 0 || fields.nMinute != 0 || fields.nSecond != 0;
    std::string text = Formatter() ? Formatter()(fields, bWithTime) : DefaultDateTimeText(fields, bWithTime);
    return text.empty() ? std::string(kInvalidDateTime) : text;
}
