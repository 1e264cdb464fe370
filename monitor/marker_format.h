// Text produced by the monitor: the line per marker (plain or CSV) and the
// end-of-watch summary. Pure functions of their arguments.
#pragma once

#include "interval_statistics.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace maroquint::monitor {

struct MarkerRow {
  std::int64_t index = 0;
  double timestamp = 0.0;            // on the sender's clock
  std::optional<double> local_time;  // the time stamp mapped onto the monitor's clock
  std::optional<double> interval;    // since the previous marker, sender's clock
  std::int64_t missed = 0;           // pulses that interval swallowed
  IntervalKind kind = IntervalKind::kRegular;
  std::string text;
  double utc_time = 0.0;  // wall-clock time of arrival, seconds since 1970 (UTC)
};

// Column titles matching FormatMarkerLine; each line ends with '\n'.
std::string MarkerLineHeader();
std::string FormatMarkerLine(const MarkerRow &row);

// "regular", "gap", "catch-up", "early" or "restart".
const char *KindName(IntervalKind kind);

// The columns of the plain lines, plus the time of arrival as utc_time and
// what the interval is as kind.
std::string CsvHeader();
std::string FormatCsvRow(const MarkerRow &row);

// One CSV field: quoted (with quotes doubled) when it holds a comma, a quote,
// a carriage return or a line feed.
std::string CsvField(const std::string &text);

// Control characters would break a line apart or move the cursor; they are
// shown as \xHH. Other bytes, UTF-8 included, pass unchanged.
std::string PrintableText(const std::string &text);

// The monitor's words for numbers, the same in every line it prints and
// every file it writes: seconds to the microsecond ("1.000000"), seconds
// to the tenth for the time a watch or a silence lasted ("1.5"), a count,
// and "1 pulse missed" or "N pulses missed".
std::string Seconds(double value);
std::string Tenths(double seconds);
std::string Count(std::int64_t value);
std::string PulsesMissed(std::int64_t missed);

struct SummaryInput {
  IntervalSummary intervals;
  double period = 1.0;
  CorrectionTrack correction;
  std::int64_t reconnections = 0;
  std::int64_t missed_before_first = 0;
  std::int64_t missed_after_last = 0;
  std::vector<std::string> uids;  // every outlet watched, in order: more than one after a restart
};
std::string FormatSummary(const SummaryInput &input);

}  // namespace maroquint::monitor
