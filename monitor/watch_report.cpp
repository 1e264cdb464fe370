#include "watch_report.h"

#include "marker_format.h"

#include <cmath>
#include <cstdio>

#include "base/text.h"

namespace maroquint::monitor {
namespace {

using base::Format;

std::string JsonString(const std::string &text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// JSON has no infinities or NaN.
std::string JsonNumber(double value) {
  return std::isfinite(value) ? Format("%.15g", value) : "null";
}

std::string JsonStream(const StreamDescription &s) {
  return "{\"name\": " + JsonString(s.name) + ", \"type\": " + JsonString(s.type) +
         ", \"source_id\": " + JsonString(s.source_id) +
         ", \"hostname\": " + JsonString(s.hostname) + ", \"uid\": " + JsonString(s.uid) + "}";
}

}  // namespace

std::string FormatStreamLine(const StreamDescription &stream) {
  const std::string rate = stream.nominal_srate > 0.0 ? Format("%g Hz", stream.nominal_srate)
                                                      : std::string("irregular rate");
  return "\"" + stream.name + "\"  type \"" + stream.type + "\", " + Count(stream.channel_count) +
         (stream.channel_count == 1 ? " channel, " : " channels, ") + stream.channel_format + ", " +
         rate + ", source id \"" + stream.source_id + "\", host \"" + stream.hostname + "\"";
}

std::string FormatListedStream(const StreamDescription &stream, double now,
                               const std::string &local_host) {
  std::string line = FormatStreamLine(stream) + ", uid " + stream.uid;
  if (!local_host.empty() && stream.hostname == local_host)
    return line + ", created " + Format("%.1f", now - stream.created_at) + " s ago";
  return line + ", created at " + Format("%.1f", stream.created_at) +
         " s on its host's clock (another host: its age is not known here)";
}

std::vector<std::string> WatchReport::Uids() const {
  std::vector<std::string> uids;
  if (stream) uids.push_back(stream->uid);
  for (const RestartPoint &restart : restarts) uids.push_back(restart.outlet.uid);
  return uids;
}

namespace {

std::string OthersReason(const WatchReport &report) {
  const StreamDescription &watched = *report.stream;
  bool same_name = true;
  for (const StreamDescription &other : report.others) same_name &= other.name == watched.name;
  std::string reason = Count(static_cast<std::int64_t>(report.others.size() + 1)) + " streams " +
                       (same_name ? "named \"" + watched.name + "\"" : "with " + report.wanted) +
                       ": uid " + watched.uid + " on host \"" + watched.hostname + "\" (watched)";
  for (const StreamDescription &other : report.others)
    reason += ", uid " + other.uid + " on host \"" + other.hostname + "\"";
  return reason;
}

std::string MissedReason(const WatchReport &report, std::int64_t limit) {
  const std::int64_t missed = report.MissedPulses();
  std::string reason = Count(missed) + (missed == 1 ? " missed pulse" : " missed pulses") +
                       " (limit " + Count(limit) + "): ";
  std::vector<std::string> parts;
  const std::vector<PulseGap> &gaps = report.intervals.gaps;
  if (gaps.size() == 1)
    parts.push_back(Count(gaps[0].missed) + " in a gap before marker " + Count(gaps[0].index));
  else if (!gaps.empty())
    parts.push_back(Count(report.intervals.missed_pulses) + " in " +
                    Count(static_cast<std::int64_t>(gaps.size())) + " gaps");
  if (report.missed_before_first > 0)
    parts.push_back(Count(report.missed_before_first) + " before the first marker");
  if (report.missed_after_last > 0)
    parts.push_back(Count(report.missed_after_last) + " after the last marker");
  for (std::size_t i = 0; i < parts.size(); ++i) reason += (i > 0 ? ", " : "") + parts[i];
  return reason;
}

}  // namespace

std::vector<std::string> UnhealthyReasons(const WatchReport &report, const HealthLimits &limits) {
  std::vector<std::string> reasons;
  if (!report.stream) {
    reasons.push_back("no stream found");
    return reasons;
  }
  if (report.intervals.markers == 0) reasons.push_back("no marker received");
  if (!report.others.empty()) reasons.push_back(OthersReason(report));
  if (!report.restarts.empty()) {
    std::string reason = Count(static_cast<std::int64_t>(report.restarts.size())) +
                         (report.restarts.size() == 1 ? " restart" : " restarts") +
                         " of the stream (a new outlet: uid " + report.stream->uid;
    for (const RestartPoint &restart : report.restarts)
      reason += ", then uid " + restart.outlet.uid;
    reasons.push_back(reason + ")");
  }
  if (report.MissedPulses() > limits.max_missed)
    reasons.push_back(MissedReason(report, limits.max_missed));
  const IntervalSummary &i = report.intervals;
  if (i.regular > 0 && i.p99_period_deviation > limits.max_jitter)
    reasons.push_back("p99 of |interval - period| " + Format("%.6f", i.p99_period_deviation) +
                      " s over the limit " + Format("%.6f", limits.max_jitter) + " s (" +
                      Count(i.regular) +
                      (i.regular == 1 ? " regular interval)" : " regular intervals)"));
  if (i.early > 0)
    reasons.push_back(Count(i.early) +
                      (i.early == 1 ? " early or extra marker" : " early or extra markers"));
  if (report.lost) reasons.push_back("the stream was lost");
  return reasons;
}

std::string VerdictLine(const std::vector<std::string> &reasons) {
  if (reasons.empty()) return "healthy";
  std::string line = "UNHEALTHY: ";
  for (std::size_t i = 0; i < reasons.size(); ++i) line += (i > 0 ? "; " : "") + reasons[i];
  return line;
}

std::string FormatJsonReport(const WatchReport &report, const std::vector<std::string> &reasons,
                             int exit_status) {
  std::string json = "{\n";
  const auto field = [&json](const std::string &name, const std::string &value, bool last = false) {
    json += "  " + JsonString(name) + ": " + value + (last ? "\n" : ",\n");
  };
  field("stream", report.stream ? JsonStream(*report.stream) : "null");
  std::string others = "[";
  for (std::size_t o = 0; o < report.others.size(); ++o)
    others += (o > 0 ? ", " : "") + JsonStream(report.others[o]);
  field("other_streams", others + "]");
  std::string restarts = "[";
  for (std::size_t r = 0; r < report.restarts.size(); ++r)
    restarts += std::string(r > 0 ? ", " : "") +
                "{\"seconds_after_start\": " + JsonNumber(report.restarts[r].at) +
                ", \"outlet\": " + JsonStream(report.restarts[r].outlet) + "}";
  field("restarts", restarts + "]");
  field("period", JsonNumber(report.period));
  field("watched_seconds", JsonNumber(report.watched));
  const IntervalSummary &i = report.intervals;
  field("markers", Count(i.markers));
  const bool figures = i.regular > 0;
  field("intervals", "{\"count\": " + Count(i.intervals) + ", \"regular\": " + Count(i.regular) +
                         ", \"closing_a_gap\": " + Count(i.GapIntervals()) + ", \"catch_up\": " +
                         Count(i.catch_up) + ", \"early_or_extra\": " + Count(i.early) +
                         ", \"across_a_restart\": " + Count(i.restart) + "}");
  if (figures)
    field("regular_intervals",
          "{\"mean\": " + JsonNumber(i.mean) + ", \"min\": " + JsonNumber(i.min) +
              ", \"max\": " + JsonNumber(i.max) + ", \"std_dev\": " + JsonNumber(i.std_dev) +
              ", \"p99_period_deviation\": " + JsonNumber(i.p99_period_deviation) + "}");
  else
    field("regular_intervals", "null");
  std::string gaps = "[";
  for (std::size_t g = 0; g < i.gaps.size(); ++g)
    gaps += std::string(g > 0 ? ", " : "") + "{\"marker\": " + Count(i.gaps[g].index) +
            ", \"timestamp\": " + JsonNumber(i.gaps[g].timestamp) +
            ", \"interval\": " + JsonNumber(i.gaps[g].interval) +
            ", \"missed\": " + Count(i.gaps[g].missed) + "}";
  gaps += "]";
  field("missed_pulses", "{\"total\": " + Count(report.MissedPulses()) +
                             ", \"before_first_marker\": " + Count(report.missed_before_first) +
                             ", \"between_markers\": " + Count(i.missed_pulses) +
                             ", \"after_last_marker\": " + Count(report.missed_after_last) +
                             ", \"gaps\": " + gaps + "}");
  field("early_or_extra_markers", Count(i.early));
  field("catch_up_markers", Count(i.catch_up));
  const CorrectionTrack &c = report.corrections;
  if (c.Count() > 0)
    field("time_correction",
          "{\"estimates\": " + Count(c.Count()) + ", \"last\": " + JsonNumber(c.Last()) +
              ", \"min\": " + JsonNumber(c.Min()) + ", \"max\": " + JsonNumber(c.Max()) +
              ", \"round_trip_last\": " + JsonNumber(c.LastRoundTrip()) +
              ", \"round_trip_min\": " + JsonNumber(c.MinRoundTrip()) +
              ", \"round_trip_max\": " + JsonNumber(c.MaxRoundTrip()) + "}");
  else
    field("time_correction", "null");
  field("reconnections", Count(report.reconnections));
  field("stream_lost", report.lost ? "true" : "false");
  field("outlet_gone_at_end", report.gone_at_end ? "true" : "false");
  if (report.gone_at_end) field("outlet_gone_seconds_after_start", JsonNumber(report.gone_at));
  field("healthy", reasons.empty() ? "true" : "false");
  std::string list = "[";
  for (std::size_t r = 0; r < reasons.size(); ++r)
    list += std::string(r > 0 ? ", " : "") + JsonString(reasons[r]);
  field("reasons", list + "]");
  field("verdict", JsonString(VerdictLine(reasons)));
  field("exit_status", Count(exit_status), true);
  return json + "}\n";
}

}  // namespace maroquint::monitor
