#pragma once

// Calendar time, the same on every platform.

#include <ctime>
#include <string>

namespace maroquint::base {

// The UTC calendar fields of a time_t (gmtime_r, or gmtime_s on Windows).
std::tm UtcCalendar(std::time_t seconds);

// ISO 8601 in UTC with microseconds, "2026-12-09T00:42:07.250000Z".
std::string FormatUtc(double seconds_since_1970);

}  // namespace maroquint::base
