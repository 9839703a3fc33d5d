#include "foundation/utils_time.h"

#include <charconv>
#include <cstdio>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/time_zone.h"

namespace zelko::plenar::agent {

namespace {

constexpr int64_t kTicksPerSecond = platform::kTicksPerSecond;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = FloorDiv(year, 400);
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// Seconds since 1970 of a calendar time read as UTC; out-of-range fields roll over into the next
// ones (31 February is 3 March), as the C library's UTC conversion does.
int64_t UtcSeconds(const std::tm& time) {
    const int64_t month = time.tm_mon;
    const int64_t year = time.tm_year + 1900LL + FloorDiv(month, 12);
    const int64_t days = DaysFromCivil(year, FloorMod(month, 12) + 1, 1) + time.tm_mday - 1;
    return days * 86400 + time.tm_hour * 3600LL + time.tm_min * 60LL + time.tm_sec;
}

bool UtcTime(int64_t seconds, std::tm& out) {
    const time_t value = static_cast<time_t>(seconds);
    return ::gmtime_r(&value, &out) != nullptr;
}

// strftime under the classic locale, whatever the process locale is.
std::string PutTime(const std::tm& time, const char* format) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::put_time(&time, format);
    return out.str();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Number(const std::string& text, size_t pos, size_t count) {
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// The whole text is dddd-dd-ddTdd:dd:dd, a sign and dd:dd (25 characters).
bool HasIsoShape(const std::string& text) {
    static constexpr char kShape[] = "0000-00-00T00:00:00+00:00";
    if (text.size() != sizeof(kShape) - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] == '0') {
            if (!IsDigit(text[i])) return false;
        } else if (kShape[i] == '+') {
            if (text[i] != '+' && text[i] != '-') return false;
        } else if (text[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

// Fields as written; a field outside its range stays as read, so the range test refuses it.
std::tm ReadIsoFields(const std::string& text) {
    std::tm time{};
    time.tm_isdst = -1;
    time.tm_year = Number(text, 0, 4) - 1900;
    time.tm_mon = Number(text, 5, 2) - 1;
    time.tm_mday = Number(text, 8, 2);
    time.tm_hour = Number(text, 11, 2);
    time.tm_min = Number(text, 14, 2);
    time.tm_sec = Number(text, 17, 2);
    return time;
}

}  // namespace

bool IsValidTm(const std::tm& time) {
    return static_cast<unsigned>(time.tm_sec) <= 61 && static_cast<unsigned>(time.tm_min) <= 59 &&
           static_cast<unsigned>(time.tm_hour) <= 23 && time.tm_mday >= 1 &&
           static_cast<unsigned>(time.tm_mday) <= 31 && static_cast<unsigned>(time.tm_mon) <= 11 &&
           time.tm_year >= 0 && static_cast<unsigned>(time.tm_wday) <= 6 &&
           static_cast<unsigned>(time.tm_yday) <= 365;
}

bool IsIso8601WithOffset(const std::string& text) {
    return HasIsoShape(text) && IsValidTm(ReadIsoFields(text));
}

std::tm ParseTime(const std::string& text) {
    if (IsIso8601WithOffset(text)) return ReadIsoFields(text);
    std::tm time{};
    time.tm_isdst = -1;
    return time;
}

std::string FormatUtcOffset(int offset_hours) {
    const int64_t offset_seconds = static_cast<int64_t>(offset_hours) * 3600;
    const int64_t magnitude = offset_seconds < 0 ? -offset_seconds : offset_seconds;
    char text[32];
    std::snprintf(text, sizeof(text), "%c%02lld:%02lld", offset_seconds < 0 ? '-' : '+',
                  static_cast<long long>(magnitude / 3600), static_cast<long long>(magnitude % 3600 / 60));
    return text;
}

std::string FormatIso8601(const std::tm& time, int offset_hours) {
    if (!IsValidTm(time)) return "";
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return text + FormatUtcOffset(offset_hours);
}

std::string FormatUtcIso8601(int64_t time_point) {
    const int64_t seconds = time_point / kTicksPerSecond;  // toward zero
    if (seconds == -1) return "";
    std::tm time{};
    if (!UtcTime(seconds, time)) return "";
    return FormatIso8601(time, 0);
}

std::string NowLocalIso8601() {
    std::tm time{};
    if (!platform::LocalTime(platform::NowTicks() / kTicksPerSecond, time)) time = std::tm{};
    return FormatIso8601(time, GetLocalUtcOffsetHours());
}

int GetLocalUtcOffsetHours() { return platform::LocalStandardOffsetSeconds() / 3600; }

int ParseUtcOffsetHours(const std::string& text) {
    if (!IsIso8601WithOffset(text)) return 0;
    const int hours = Number(text, text.size() - 5, 2);
    return text[text.size() - 6] == '-' ? -hours : hours;
}

namespace Utils {

std::string GetUtcTimestamp() {
    const int64_t ticks = platform::NowTicks();
    std::tm time{};
    UtcTime(FloorDiv(ticks, kTicksPerSecond), time);
    char fraction[16];
    std::snprintf(fraction, sizeof(fraction), ".%03d000Z",
                  static_cast<int>(FloorMod(ticks, kTicksPerSecond) / platform::kTicksPerMillisecond));
    return PutTime(time, "%Y-%m-%dT%H:%M:%S") + fraction;
}

std::string FormatTimePoint(int64_t time_point, const std::string& format, const std::string& separator) {
    std::tm time{};
    UtcTime(FloorDiv(time_point, kTicksPerSecond), time);
    char fraction[16];
    std::snprintf(fraction, sizeof(fraction), "%07lld",
                  static_cast<long long>(FloorMod(time_point, kTicksPerSecond)));
    return PutTime(time, format.c_str()) + separator + fraction;
}

int64_t ToTimePoint(const std::string& text, const std::string& format, const std::string& separator) {
    const size_t at = separator.empty() ? std::string::npos : text.rfind(separator);
    if (at == std::string::npos) throw std::invalid_argument("ToTimePoint: Invalid datetime format");

    std::tm time{};
    std::istringstream date(text.substr(0, at));
    date.imbue(std::locale::classic());
    date >> std::get_time(&time, format.c_str());
    // An unreadable date is refused: a made-up one (1899) would read as long past and age files out.
    if (date.fail()) throw std::invalid_argument("ToTimePoint: Invalid datetime format");

    const std::string fraction_text = text.substr(at + separator.size());
    const char* first = fraction_text.data();
    const char* last = first + fraction_text.size();
    while (first != last && (*first == ' ' || (*first >= '\t' && *first <= '\r'))) ++first;
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') first = last;  // "+-5" holds no number
    }
    int64_t fraction = 0;
    if (std::from_chars(first, last, fraction).ec != std::errc{}) fraction = 0;

    return UtcSeconds(time) * kTicksPerSecond + fraction;
}

std::string FormatDuration(int64_t ticks) {
    constexpr int64_t kHour = 36000000000;
    constexpr int64_t kMinute = 600000000;
    const int64_t hours = ticks / kHour;
    const int64_t minutes = (ticks % kHour) / kMinute;
    const int64_t rest = (ticks % kHour) % kMinute;
    const int64_t seconds = rest / kTicksPerSecond;
    const int64_t milliseconds = (rest % kTicksPerSecond) / platform::kTicksPerMillisecond;
    return std::to_string(hours) + "h" + std::to_string(minutes) + "m" + std::to_string(seconds) + "s" +
           std::to_string(milliseconds) + "ms";
}

}  // namespace Utils

}  // namespace zelko::plenar::agent
