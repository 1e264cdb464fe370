#include "watch_report.h"

#include "marker_format.h"

#include "base/text.h"

namespace maroquint::monitor {
namespace {

using base::Format;

base::Json JsonStream(const StreamDescription &s) {
  return {{"name", s.name},
          {"type", s.type},
          {"source_id", s.source_id},
          {"hostname", s.hostname},
          {"uid", s.uid}};
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

base::Json JsonReport(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status) {
  base::Json json;
  json["stream"] = report.stream ? JsonStream(*report.stream) : base::Json();
  json["other_streams"] = base::Json::array();
  for (const StreamDescription &other : report.others)
    json["other_streams"].push_back(JsonStream(other));
  json["restarts"] = base::Json::array();
  for (const RestartPoint &restart : report.restarts)
    json["restarts"].push_back(
        {{"seconds_after_start", restart.at}, {"outlet", JsonStream(restart.outlet)}});
  json["period"] = report.period;
  json["watched_seconds"] = report.watched;
  const IntervalSummary &i = report.intervals;
  json["markers"] = i.markers;
  json["intervals"] = {
      {"count", i.intervals},   {"regular", i.regular},      {"closing_a_gap", i.GapIntervals()},
      {"catch_up", i.catch_up}, {"early_or_extra", i.early}, {"across_a_restart", i.restart}};
  json["regular_intervals"] = base::Json();
  if (i.regular > 0)
    json["regular_intervals"] = {{"mean", i.mean},
                                 {"min", i.min},
                                 {"max", i.max},
                                 {"std_dev", i.std_dev},
                                 {"p99_period_deviation", i.p99_period_deviation}};
  base::Json gaps = base::Json::array();
  for (const PulseGap &gap : i.gaps)
    gaps.push_back({{"marker", gap.index},
                    {"timestamp", gap.timestamp},
                    {"interval", gap.interval},
                    {"missed", gap.missed}});
  json["missed_pulses"] = {{"total", report.MissedPulses()},
                           {"before_first_marker", report.missed_before_first},
                           {"between_markers", i.missed_pulses},
                           {"after_last_marker", report.missed_after_last},
                           {"gaps", gaps}};
  json["early_or_extra_markers"] = i.early;
  json["catch_up_markers"] = i.catch_up;
  const CorrectionTrack &c = report.corrections;
  json["time_correction"] = base::Json();
  if (c.Count() > 0)
    json["time_correction"] = {{"estimates", c.Count()},
                               {"last", c.Last()},
                               {"min", c.Min()},
                               {"max", c.Max()},
                               {"round_trip_last", c.LastRoundTrip()},
                               {"round_trip_min", c.MinRoundTrip()},
                               {"round_trip_max", c.MaxRoundTrip()}};
  json["reconnections"] = report.reconnections;
  json["stream_lost"] = report.lost;
  json["outlet_gone_at_end"] = report.gone_at_end;
  if (report.gone_at_end) json["outlet_gone_seconds_after_start"] = report.gone_at;
  json["healthy"] = reasons.empty();
  json["reasons"] = reasons;
  json["verdict"] = VerdictLine(reasons);
  json["exit_status"] = exit_status;
  return json;
}

}  // namespace maroquint::monitor
