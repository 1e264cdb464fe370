#include "marker_format.h"

#include <cinttypes>

#include "base/text.h"
#include "base/time.h"

namespace maroquint::monitor {

using base::Format;

std::string Seconds(double value) {
  return Format("%.6f", value);
}

std::string Tenths(double seconds) {
  return Format("%.1f", seconds);
}

std::string Count(std::int64_t value) {
  return Format("%" PRId64, value);
}

std::string PulsesMissed(std::int64_t missed) {
  return Count(missed) + (missed == 1 ? " pulse missed" : " pulses missed");
}

std::string PrintableText(const std::string &text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f)
      shown += Format("\\x%02X", static_cast<unsigned>(byte));
    else
      shown += c;
  }
  return shown;
}

std::string MarkerLineHeader() {
  return Format("%7s  %16s  %16s  %10s  %s\n", "marker", "time stamp", "on this clock", "interval",
                "text");
}

std::string FormatMarkerLine(const MarkerRow &row) {
  const std::string local = row.local_time ? Seconds(*row.local_time) : "-";
  const std::string interval = row.interval ? Seconds(*row.interval) : "-";
  std::string line = Format("%7" PRId64 "  %16.6f  %16s  %10s  ", row.index, row.timestamp,
                            local.c_str(), interval.c_str()) +
                     PrintableText(row.text);
  if (row.kind == IntervalKind::kRestart) line += "  [new outlet: the stream restarted]";
  if (row.missed > 0) line += "  [" + PulsesMissed(row.missed) + "]";
  if (row.kind == IntervalKind::kCatchUp) line += "  [catch-up after the gap]";
  if (row.kind == IntervalKind::kEarly) line += "  [early or extra marker]";
  return line + "\n";
}

const char *KindName(IntervalKind kind) {
  switch (kind) {
    case IntervalKind::kRegular:
      return "regular";
    case IntervalKind::kGap:
      return "gap";
    case IntervalKind::kCatchUp:
      return "catch-up";
    case IntervalKind::kEarly:
      return "early";
    case IntervalKind::kRestart:
      return "restart";
  }
  return "regular";
}

std::string CsvHeader() {
  return "marker,timestamp,local_time,interval,missed,text,utc_time,kind\n";
}

std::string CsvField(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string FormatCsvRow(const MarkerRow &row) {
  return Count(row.index) + "," + Seconds(row.timestamp) + "," +
         (row.local_time ? Seconds(*row.local_time) : "") + "," +
         (row.interval ? Seconds(*row.interval) : "") + "," + Count(row.missed) + "," +
         CsvField(row.text) + "," + base::FormatUtc(row.utc_time) + "," +
         (row.interval ? KindName(row.kind) : "") + "\n";
}

std::string FormatSummary(const SummaryInput &input) {
  const IntervalSummary &s = input.intervals;
  std::string text = "Summary\n";
  text += "  markers received        " + Count(s.markers) + "\n";
  if (s.intervals > 0) {
    text +=
        "  intervals               " + Count(s.intervals) + ": " + Count(s.regular) + " regular";
    if (s.GapIntervals() > 0) text += ", " + Count(s.GapIntervals()) + " closing a gap";
    if (s.catch_up > 0) text += ", " + Count(s.catch_up) + " catch-up";
    if (s.early > 0) text += ", " + Count(s.early) + " early or extra";
    if (s.restart > 0) text += ", " + Count(s.restart) + " across a restart";
    text += " (the figures below are of the regular ones)\n";
  }
  if (s.regular > 0) {
    text += "  interval mean           " + Seconds(s.mean) + " s\n";
    text += "  interval minimum        " + Seconds(s.min) + " s\n";
    text += "  interval maximum        " + Seconds(s.max) + " s\n";
    text += "  interval std deviation  " + Seconds(s.std_dev) + " s\n";
    text += "  |interval - period| p99 " + Seconds(s.p99_period_deviation) + " s (period " +
            Seconds(input.period) + " s)\n";
  } else if (s.intervals > 0) {
    text += "  interval figures        none (no regular interval)\n";
  } else {
    text += "  intervals               none (fewer than two markers)\n";
  }
  const std::int64_t missed = s.missed_pulses + input.missed_before_first + input.missed_after_last;
  text += "  missed pulses           " + Count(missed);
  std::vector<std::string> parts;
  if (!s.gaps.empty())
    parts.push_back(Count(s.missed_pulses) + " in " +
                    Count(static_cast<std::int64_t>(s.gaps.size())) +
                    (s.gaps.size() == 1 ? " gap" : " gaps"));
  if (input.missed_before_first > 0)
    parts.push_back(Count(input.missed_before_first) + " before the first marker");
  if (input.missed_after_last > 0)
    parts.push_back(Count(input.missed_after_last) + " after the last marker");
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? ": " : ", ") + parts[i];
  text += "\n";
  for (const PulseGap &gap : s.gaps)
    text += "    before marker " + Count(gap.index) + " (time stamp " + Seconds(gap.timestamp) +
            "): interval " + Seconds(gap.interval) + " s, " + PulsesMissed(gap.missed) + "\n";
  const CorrectionTrack &c = input.correction;
  if (c.Count() > 0) {
    text += "  time correction         " + Format("%+.6f", c.Last()) + " s";
    if (c.Count() > 1)
      text += " (last of " + Count(c.Count()) + " estimates, from " + Format("%+.6f", c.Min()) +
              " to " + Format("%+.6f", c.Max()) + " s)";
    text += "\n";
    text += "  round-trip time         " + Seconds(c.LastRoundTrip()) + " s";
    if (c.Count() > 1)
      text += " (last of " + Count(c.Count()) + " estimates, from " + Seconds(c.MinRoundTrip()) +
              " to " + Seconds(c.MaxRoundTrip()) + " s)";
    text += "\n";
  } else {
    text += "  time correction         not available\n";
    text += "  round-trip time         not available\n";
  }
  if (input.uids.size() > 1) {
    text += "  restarts                " + Count(static_cast<std::int64_t>(input.uids.size() - 1)) +
            " (outlets: uid " + input.uids.front();
    for (std::size_t i = 1; i < input.uids.size(); ++i) text += ", then uid " + input.uids[i];
    text += ")\n";
  }
  if (input.reconnections > 0)
    text += "  reconnections           " + Count(input.reconnections) + "\n";
  return text;
}

}  // namespace maroquint::monitor
