#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Time texts. Time points are signed 64-bit counts of 100-ns ticks since 1970-01-01 UTC (the
// system clock), durations counts of the same ticks.

namespace zelko::plenar::agent {

// ISO-8601 texts of exactly the form 2024-03-05T14:07:09+01:00. Stored times are UTC (+00:00),
// event times local with the local zone's standard offset in whole hours. Readers check the
// shape, then take the fields as written and never apply the offset.

// Range test of a broken-down time; the day is not compared with the length of its month and
// the daylight-saving flag is not looked at.
bool IsValidTm(const std::tm& time);

// True when the whole text has the shape above and its fields are in range. Never throws.
bool IsIso8601WithOffset(const std::string& text);

// The fields of an accepted text (year - 1900, month - 1, weekday and day of year 0, daylight
// flag -1, offset ignored). A refused text gives all fields 0 and the daylight flag -1, so its
// day of the month is 0.
std::tm ParseTime(const std::string& text);

// "+hh:00" / "-hh:00"; 0 gives "+00:00".
std::string FormatUtcOffset(int offset_hours);

// "%Y-%m-%dT%H:%M:%S" of the record followed by FormatUtcOffset(offset_hours); "" when the
// record is out of range.
std::string FormatIso8601(const std::tm& time, int offset_hours);

// The time point in UTC with "+00:00"; the fraction of the second is dropped.
std::string FormatUtcIso8601(int64_t time_point);

// The current local time with the local standard offset ("" when it cannot be broken down).
std::string NowLocalIso8601();

// Whole hours of the local zone's standard offset: daylight saving is not counted and the
// minutes of a half-hour zone are dropped (+05:30 gives 5, -03:30 gives -3).
int GetLocalUtcOffsetHours();

// The signed hours of an accepted text's offset; 0 for a refused text.
int ParseUtcOffsetHours(const std::string& text);

namespace Utils {

// The current UTC time for cloud documents: "%Y-%m-%dT%H:%M:%S" + "." + milliseconds + "000Z".
std::string GetUtcTimestamp();

// UTC calendar time of the time point written with `format` (strftime conventions), then
// `separator`, then the 100-ns fraction of the second in seven digits.
std::string FormatTimePoint(int64_t time_point, const std::string& format, const std::string& separator);

// The reverse of FormatTimePoint: the text before the last `separator` is read with `format` as
// UTC, the digits after it are added as 100-ns ticks. Raises std::invalid_argument
// "ToTimePoint: Invalid datetime format" when the text has no separator or its date part does not
// match the format.
int64_t ToTimePoint(const std::string& text, const std::string& format, const std::string& separator);

// "<h>h<m>m<s>s<ms>ms" without padding, e.g. 0h1m30s0ms.
std::string FormatDuration(int64_t ticks);

// The ISO-8601 texts are reachable through Utils as well.
using agent::FormatIso8601;
using agent::FormatUtcIso8601;
using agent::FormatUtcOffset;
using agent::GetLocalUtcOffsetHours;
using agent::IsIso8601WithOffset;
using agent::IsValidTm;
using agent::NowLocalIso8601;
using agent::ParseTime;
using agent::ParseUtcOffsetHours;

}  // namespace Utils

}  // namespace zelko::plenar::agent
