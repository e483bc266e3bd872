// Dates of the program's records.
//
// In memory a date is a system_clock time point; stored records and wire JSON carry it as a
// number of seconds (with fraction) since 2001-01-01 00:00:00 UTC, the form the settings of
// earlier versions already hold. Dates are kept at microsecond resolution so that a record read
// back from its JSON equals the record that was written.
#pragma once

#include <chrono>

namespace pavonix {

using Date = std::chrono::system_clock::time_point;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
inline constexpr double referenceDateOffsetSeconds = 978307200.0;

// The current time, truncated to whole microseconds.
Date dateNow();

double secondsSinceReferenceDate(Date date);

// The date that many seconds after 2001-01-01, rounded to the nearest microsecond. Returns false
// for values that are not finite or lie outside the clock's range (about 285 years either side of 1970).
bool dateFromSecondsSinceReferenceDate(double seconds, Date& out);

// Seconds since 1970, truncated: the timestamp form of signed requests.
long long unixSeconds(Date date);

}  // namespace pavonix
