#include "base/time.h"

#include <cmath>

#include "base/text.h"

namespace maroquint::base {

std::tm UtcCalendar(std::time_t seconds) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  return utc;
}

std::string FormatUtc(double seconds_since_1970) {
  double whole = std::floor(seconds_since_1970);
  auto micros = static_cast<long>(std::llround((seconds_since_1970 - whole) * 1e6));
  if (micros >= 1000000) {
    whole += 1.0;
    micros -= 1000000;
  }
  const std::tm utc = UtcCalendar(static_cast<std::time_t>(whole));
  return Format("%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micros);
}

}  // namespace maroquint::base
