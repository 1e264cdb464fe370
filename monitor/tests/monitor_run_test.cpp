// The main loop over a scripted source whose clock only moves when the loop
// waits, so that every run is exact and takes no real time.
#include "monitor_run.h"
#include "matches_regex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <sstream>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr double kStart = 1000.0;
// 2026-12-08T10:00:00Z on the wall clock is kStart on the monitor's clock.
constexpr double kEpoch = 1796724000.0 - kStart;
const std::string kText = "/Experiment Control/Synchronization/Trigger/Biosemi";

StreamDescription Stream(const std::string &uid) {
  StreamDescription stream;
  stream.name = "Maroquint";
  stream.type = "Markers";
  stream.source_id = "bf37e271";
  stream.hostname = "lab-pc";
  stream.uid = uid;
  stream.xml = "<info><name>Maroquint</name></info>";
  return stream;
}

class ScriptedSource : public MarkerSource {
 public:
  struct Arrival {
    double at;         // monitor's clock
    double timestamp;  // sender's clock
    std::string text;
  };

  // Markers arrive every `period` from `first` on, time-stamped on a sender
  // clock that runs `offset` seconds ahead, except inside outlet absences.
  void Markers(double first, int count, double period, double offset = 0.25) {
    for (int i = 0; i < count; ++i) {
      const double at = first + i * period;
      if (OutletPresent(at)) arrivals.push_back({at, at + offset, kText});
    }
  }
  bool OutletPresent(double at) const {
    for (const auto &[from, to] : absences)
      if (at >= from && at < to) return false;
    return true;
  }

  double Now() override { return now; }
  double SystemTime() override { return kEpoch + now; }

  std::vector<StreamDescription> List(double wait) override {
    now += wait;
    return streams;
  }

  FindResult Find(const StreamQuery &query, double wait) override {
    queries.push_back(query);
    if (!appears_at || *appears_at > now + wait) {
      now += wait;
      return {{}, other_case};
    }
    now = std::max(now, *appears_at);
    return {streams, {}};
  }

  Pulled Pull(double wait) override {
    if (lost_at && *lost_at <= now + wait) {
      now = std::max(now, *lost_at);
      lost_at.reset();
      return {Pulled::Kind::kLost, 0.0, "", {}};
    }
    if (!arrivals.empty() && arrivals.front().at <= now + wait) {
      const Arrival next = arrivals.front();
      arrivals.pop_front();
      now = std::max(now, next.at);
      return {Pulled::Kind::kMarker, next.timestamp, next.text, {next.text}};
    }
    now += wait;
    return {};
  }

  std::optional<ClockEstimate> TimeCorrection(double wait) override {
    correction_waits.push_back(wait);
    now += 0.001;
    if (corrections.empty()) return std::nullopt;
    const ClockEstimate value = corrections.front();
    if (corrections.size() > 1) corrections.pop_front();
    return value;
  }

  // Like a resolve, a probe returns as soon as the outlet answers.
  std::vector<StreamDescription> Present(double wait) override {
    ++probes;
    now += slow_probe;
    for (const auto &[from, to] : absences) {
      if (now >= from && now < to) {
        if (to > now + wait) {
          now += wait;
          return {};
        }
        now = to;
      }
    }
    now += 0.002;
    std::vector<StreamDescription> outlets{Stream(UidAt(now))};
    for (const StreamDescription &other : also_present) outlets.push_back(other);
    return outlets;
  }

  std::optional<StreamDescription> Outlet(double wait) override {
    ++outlet_queries;
    if (!OutletPresent(now)) {
      now += wait;
      return std::nullopt;
    }
    now += 0.001;
    return Stream(UidAt(now));
  }

  std::string HostName() override { return "lab-pc"; }

  std::vector<StreamDescription> Matching(const StreamQuery &, double wait) override {
    ++looks;
    now += wait;
    if (!OutletPresent(now)) return also_present;
    std::vector<StreamDescription> matching{Stream(UidAt(now))};
    for (const StreamDescription &other : also_present) matching.push_back(other);
    return matching;
  }

  // The uid of the outlet at a time: a new one from each restart on.
  std::string UidAt(double at) const {
    std::string uid = streams.front().uid;
    for (const auto &[from, new_uid] : restarts)
      if (at >= from) uid = new_uid;
    return uid;
  }

  double now = kStart;
  std::optional<double> appears_at = kStart + 0.3;
  std::vector<StreamDescription> streams{Stream("uid-1")};
  std::vector<StreamDescription> other_case;
  std::deque<Arrival> arrivals;
  std::vector<std::pair<double, double>> absences;
  std::vector<std::pair<double, std::string>> restarts;
  std::vector<StreamDescription> also_present;
  int outlet_queries = 0;
  int looks = 0;
  double slow_probe = 0.0;  // added to every probe, like a resolve on a busy network
  std::optional<double> lost_at;
  std::deque<ClockEstimate> corrections{{-0.25, 0.0004}};
  std::vector<double> correction_waits;
  std::vector<StreamQuery> queries;
  int probes = 0;
};

struct Outcome {
  int status = -1;
  std::string markers;
  std::string status_text;
  std::string errors;
};

// A whole run: `stop_at` ends it on the monitor's clock, `recorder` hears of it.
Outcome Watch(const Options &options, ScriptedSource &source,
              std::optional<double> stop_at = std::nullopt, WatchRecorder *recorder = nullptr) {
  std::ostringstream markers, status, errors;
  std::vector<WatchRecorder *> recorders;
  if (recorder) recorders.push_back(recorder);
  const int code = RunMonitor(
      options, source, {markers, status, errors}, [&] { return stop_at && source.now >= *stop_at; },
      recorders);
  return {code, markers.str(), status.str(), errors.str()};
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The default search; the watch ends after `count` markers when one is given.
Options Defaults(std::optional<std::int64_t> count = std::nullopt) {
  Options options;
  options.query.name = "Maroquint";
  options.count = count;
  return options;
}

// A watch of scripted events and what it must print: the exit status, the
// verdict (the last line), lines of the status output and of the marker
// output, and text in neither.
struct Scenario {
  const char *name;
  std::function<void(ScriptedSource &, Options &)> set_up;
  int status;
  std::string verdict;
  std::vector<std::string> in_status = {};
  std::vector<std::string> in_markers = {};
  std::vector<std::string> nowhere = {};
};

void PrintTo(const Scenario &scenario, std::ostream *out) {
  *out << scenario.name;
}

const Scenario kScenarios[] = {
    {"AStreamThatAppearsLateIsStillFound",
     [](ScriptedSource &source, Options &options) {
       source.appears_at = kStart + 8.5;
       source.Markers(kStart + 9.0, 2, 1.0);
       options.count = 2;
     },
     kExitNormal,
     "healthy",
     {"Watching \"Maroquint\" (type \"Markers\", source id \"bf37e271\", host \"lab-pc\", uid "
      "uid-1)"}},
    // The gap is named once: not as jitter too.
    {"MissedPulsesWithTheOutletStillThere",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 3, 1.0);
       source.Markers(kStart + 7.0, 3, 1.0);
       options.count = 6;
     },
     kExitUnhealthy,
     "UNHEALTHY: 3 missed pulses (limit 0): 3 in a gap before marker 4",
     {"markers are back after 4.0 s (3 pulses missed in the gap)\n",
      "No marker for 2.0 s; the stream's outlet is still there.\n",
      "missed pulses           3: 3 in 1 gap\n"},
     {"      4       1007.250000       1007.000000    4.000000  " + kText +
      "  [3 pulses missed]\n"},
     {"gone", "reconnections"}},
    {"AnOutletGoneAndBackIsAReconnection",
     [](ScriptedSource &source, Options &options) {
       source.absences = {{kStart + 3.5, kStart + 8.0}};
       source.Markers(kStart + 1.0, 12, 1.0);
       options.count = 7;
     },
     kExitUnhealthy,
     "UNHEALTHY: 4 missed pulses (limit 0): 4 in a gap before marker 4",
     {"The stream's outlet is gone (no marker for 2.0 s); waiting up to 10.0 s for it to come "
      "back.\n",
      "The stream is back after 3.0 s without its outlet.\n", "reconnections           1\n"},
     {"    5.000000  " + kText + "  [4 pulses missed]\n"}},
    {"AnOutletBackWithANewUidIsARestartNotAReconnection",
     [](ScriptedSource &source, Options &options) {
       source.absences = {{kStart + 3.5, kStart + 8.0}};
       source.restarts = {{kStart + 8.0, "uid-2"}};
       source.Markers(kStart + 1.0, 12, 1.0);
       options.count = 7;
     },
     kExitUnhealthy,
     "",
     {"The stream is back after 3.0 s without an outlet, from its new outlet.\n",
      "UNHEALTHY: 1 restart of the stream"},
     {},
     {"reconnections"}},
    // A restart too quick to miss a pulse shows only in the uid, which the
    // monitor asks with every refresh of the time correction; its markers
    // had come already: none is taken for the one after the restart.
    {"ARestartWithoutAGapIsStillCounted",
     [](ScriptedSource &source, Options &options) {
       source.restarts = {{kStart + 2.5, "uid-2"}};
       source.Markers(kStart + 1.0, 8, 1.0);
       options.count = 8;
     },
     kExitUnhealthy,
     "UNHEALTHY: 1 restart of the stream (a new outlet: uid uid-1, then uid uid-2)",
     {},
     {},
     {"[new outlet: the stream restarted]"}},
    // The extra marker's own interval is its reason, not jitter; the one
    // after it is 0.3 ms short.
    {"EarlyOrExtraMarkersAndJitterAreReasons",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 3, 1.0);
       source.arrivals.push_back({kStart + 3.0003, kStart + 3.2503, kText});
       source.Markers(kStart + 4.0, 2, 1.0);
       options.count = 6;
       options.max_jitter = 0.0002;
     },
     kExitUnhealthy,
     "UNHEALTHY: p99 of |interval - period| 0.000300 s over the limit 0.000200 s (4 regular "
     "intervals); 1 early or extra marker",
     {},
     {"  [early or extra marker]\n"}},
    {"JitterWithinTheLimitIsHealthy",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 5, 1.003);
       options.count = 5;
       options.max_jitter = 0.005;
     },
     kExitNormal, "healthy"},
    {"JitterOverTheLimitIsAReason",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 5, 1.003);
       options.count = 5;
     },
     kExitUnhealthy,
     "UNHEALTHY: p99 of |interval - period| 0.003000 s over the limit 0.002000 s (4 regular "
     "intervals)"},
    // The simulated device with its wire cut for 3 s: the held cycle's
    // marker closes a gap, the program's next cycle follows 3 ms later.
    {"ACutWireIsMissedPulsesOnly",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 3, 1.0);
       source.Markers(kStart + 6.5037, 1, 1.0);
       source.Markers(kStart + 6.5067, 4, 1.0);
       options.count = 8;
     },
     kExitUnhealthy,
     "UNHEALTHY: 3 missed pulses (limit 0): 3 in a gap before marker 4",
     {"  interval mean           1.000000 s\n", "  interval std deviation  0.000000 s\n"},
     {"    3.503700  " + kText + "  [3 pulses missed]\n",
      "    0.003000  " + kText + "  [catch-up after the gap]\n"}},
    {"ASecondStreamThatAppearsLaterIsFoundByTheProbe",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 2, 1.0);
       source.Markers(kStart + 6.0, 2, 1.0);
       source.also_present = {Stream("uid-9")};
       options.count = 4;
       options.max_missed = 10;
     },
     kExitUnhealthy,
     "UNHEALTHY: 2 streams named \"Maroquint\": uid uid-1 on host \"lab-pc\" (watched), uid uid-9 "
     "on host \"lab-pc\""},
    {"EmptyMarkersOfADyingOutletAreNotCounted",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 1.0, 2, 1.0);
       source.arrivals.push_back({kStart + 2.1, kStart + 2.1, ""});
       source.Markers(kStart + 3.0, 1, 1.0);
       options.count = 3;
     },
     kExitNormal,
     "healthy",
     {},
     {"\n      3       1003.250000       1003.000000    1.000000  " + kText + "\n"}},
    {"UnknownCorrectionLeavesTheMappedColumnEmpty",
     [](ScriptedSource &source, Options &options) {
       source.corrections.clear();
       source.Markers(kStart + 1.0, 2, 1.0);
       options.count = 2;
     },
     kExitNormal,
     "healthy",
     {"time correction         not available\n", "round-trip time         not available\n"},
     {"1001.250000                 -"}},
    // One alert for each pulse as it goes missing, half a period after it was due.
    {"NoMarkerAtAllIsNeverHealthy",
     [](ScriptedSource &, Options &options) {
       options.duration = 5.5;
       options.max_missed = 100;
     },
     kExitUnhealthy,
     "UNHEALTHY: no marker received",
     {"\nno marker for 1.5 s (1 pulse missed)\n", "\nno marker for 5.5 s (5 pulses missed)\n"},
     {},
     {"no marker for 6.5 s"}},
    {"NoMarkerAtAllCountsItsMissedPulses",
     [](ScriptedSource &, Options &options) { options.duration = 5.5; }, kExitUnhealthy,
     "UNHEALTHY: no marker received; 5 missed pulses (limit 0): 5 before the first marker"},
    // The watch begins at kStart + 0.301; 3.2 s of silence swallow 2
    // pulses, 4.8 s after the last marker 4 more: one summary line for all.
    {"PulsesMissedBeforeTheFirstAndAfterTheLastMarkerCount",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 3.501, 3, 1.0);
       options.duration = 10.0;
     },
     kExitUnhealthy,
     "UNHEALTHY: 6 missed pulses (limit 0): 2 before the first marker, 4 after the last marker",
     {"markers are back after 3.2 s (2 pulses missed before the first marker)\n",
      "\n  missed pulses           6: 2 before the first marker, 4 after the last marker\n"},
     {},
     {"missed pulses in all"}},
    {"MissedPulsesWithinTheLimitAreHealthy",
     [](ScriptedSource &source, Options &options) {
       source.Markers(kStart + 3.501, 3, 1.0);
       options.duration = 10.0;
       options.max_missed = 6;
     },
     kExitNormal, "healthy"},
};

class MonitorScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(MonitorScenario, PrintsWhatHappened) {
  const Scenario &scenario = GetParam();
  ScriptedSource source;
  Options options = Defaults();
  scenario.set_up(source, options);
  const Outcome run = Watch(options, source);
  EXPECT_EQ(run.status, scenario.status) << run.status_text;
  EXPECT_EQ(run.errors, "");
  if (!scenario.verdict.empty()) {
    EXPECT_THAT(run.status_text, ::testing::EndsWith("\n" + scenario.verdict + "\n"));
  }
  for (const std::string &text : scenario.in_status) EXPECT_THAT(run.status_text, HasSubstr(text));
  for (const std::string &text : scenario.in_markers) EXPECT_THAT(run.markers, HasSubstr(text));
  for (const std::string &text : scenario.nowhere)
    EXPECT_THAT(run.status_text + run.markers, Not(HasSubstr(text)));
}

INSTANTIATE_TEST_SUITE_P(Watches, MonitorScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(MonitorRun, NoStreamWithinTheTimeoutEndsWithStatus2) {
  ScriptedSource source;
  source.appears_at.reset();
  Options options = Defaults();
  options.timeout = 3.0;
  const Outcome run = Watch(options, source);
  EXPECT_EQ(run.status, kExitNoStream);
  EXPECT_THAT(run.errors,
              ::testing::StartsWith(
                  "maroquint-monitor: no stream with name \"Maroquint\" found within 3.0 s\n"));
  // What to check, and how.
  for (const char *hint : {"program is running", "same network segment", "firewall", "--list"})
    EXPECT_THAT(run.errors, HasSubstr(hint));
  EXPECT_THAT(run.status_text,
              HasSubstr("Looking for a stream with name \"Maroquint\" (for up to 3.0 s)"));
  EXPECT_DOUBLE_EQ(source.now, kStart + 3.0);
  ASSERT_EQ(source.queries.size(), 3u);
  EXPECT_EQ(source.queries.front().name, "Maroquint");
  EXPECT_EQ(run.markers, "");
}

TEST(MonitorRun, StopDuringTheSearchEndsWithStatus2) {
  ScriptedSource source;
  source.appears_at.reset();
  const Outcome run = Watch(Defaults(), source, kStart + 2.0);
  EXPECT_EQ(run.status, kExitNoStream);
  EXPECT_THAT(run.errors, HasSubstr("interrupted"));
  EXPECT_LT(source.now, kStart + 3.0);
}

TEST(MonitorRun, PrintsEveryMarkerAndStopsAtTheCount) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 10, 1.0);
  const Outcome run = Watch(Defaults(4), source);
  EXPECT_EQ(run.status, kExitNormal);
  const auto lines = Lines(run.markers);
  ASSERT_EQ(lines.size(), 5u) << run.markers;
  EXPECT_THAT(lines[0], HasSubstr("time stamp"));
  // Sender's stamp, stamp mapped by the correction (-0.25), interval.
  EXPECT_THAT(lines[1],
              HasSubstr("      1       1001.250000       1001.000000           -  " + kText));
  EXPECT_THAT(lines[2],
              HasSubstr("      2       1002.250000       1002.000000    1.000000  " + kText));
  EXPECT_THAT(lines[4], HasSubstr("      4       1004.250000"));
  for (const char *line :
       {"markers received        4\n", "interval mean           1.000000 s\n",
        "time correction         -0.250000 s\n", "round-trip time         0.000400 s\n"})
    EXPECT_THAT(run.status_text, HasSubstr(line));
  EXPECT_EQ(source.correction_waits.front(), MonitorPacing::kFirstCorrection);
  EXPECT_THAT(run.status_text, ::testing::EndsWith("\nhealthy\n"));
}

TEST(MonitorRun, CsvKeepsStatusAndSummaryOutOfTheTable) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 3, 1.0);
  Options options = Defaults(3);
  options.csv = true;
  const Outcome run = Watch(options, source);
  const auto lines = Lines(run.markers);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "marker,timestamp,local_time,interval,missed,text,utc_time,kind");
  EXPECT_EQ(lines[2], "2,1002.250000,1002.000000,1.000000,0," + kText +
                          ",2026-12-08T10:00:02.000000Z,regular");
  EXPECT_THAT(run.status_text, HasSubstr("Summary"));
}

TEST(MonitorRun, DurationOrAStopRequestEndsTheWatch) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 100, 1.0);
  Options options = Defaults();
  options.duration = 5.5;
  const Outcome run = Watch(options, source);
  EXPECT_EQ(run.status, kExitNormal);
  // The watch starts once the stream is found and the first correction is in.
  EXPECT_NEAR(source.now, kStart + 0.3 + 0.001 + 5.5, 1e-9);
  EXPECT_EQ(Lines(run.markers).size(), 1u + 5u);
  EXPECT_THAT(run.status_text, HasSubstr("markers received        5\n"));

  ScriptedSource stopped;
  stopped.Markers(kStart + 1.0, 100, 1.0);
  const Outcome stop = Watch(Defaults(), stopped, kStart + 3.5);
  EXPECT_EQ(stop.status, kExitNormal);
  EXPECT_THAT(stop.status_text, HasSubstr("markers received        3\n"));
}

// Noticed two periods after the last marker, given up the timeout later,
// give or take a probe; a lost inlet counts as a gone outlet at once.
TEST(MonitorRun, AnOutletThatStaysAwayEndsWithStatus3AndTheSummary) {
  for (const bool inlet_lost : {false, true}) {
    ScriptedSource source;
    source.Markers(kStart + 1.0, inlet_lost ? 2 : 3, 1.0);
    const double gone = inlet_lost ? kStart + 2.5 : kStart + 5.0;
    if (inlet_lost) source.lost_at = gone;
    source.absences = {{inlet_lost ? gone : kStart + 3.5, kStart + 1000.0}};
    Options options = Defaults();
    options.timeout = 4.0;
    const Outcome run = Watch(options, source);
    EXPECT_EQ(run.status, kExitStreamLost);
    EXPECT_THAT(
        run.errors,
        MatchesRegex("maroquint-monitor: stream lost: its outlet has been gone for 4\\.[0-9] s\n"));
    EXPECT_THAT(run.status_text,
                HasSubstr(inlet_lost ? "The stream's outlet is gone (no marker for 0.5 s)"
                                     : "The stream's outlet is gone (no marker for 2.0 s)"));
    EXPECT_THAT(run.status_text, ::testing::EndsWith("; the stream was lost\n"));
    EXPECT_GE(source.now, gone + 4.0);
    EXPECT_LE(source.now, gone + 4.0 + MonitorPacing::kProbe + 2 * MonitorPacing::kPull);
  }
}

TEST(MonitorRun, TimeCorrectionIsRefreshedWithoutWaitingAndApplied) {
  ScriptedSource source;
  source.corrections = {{-0.25, 0.0004}, {-0.20, 0.0003}};
  source.Markers(kStart + 1.0, 8, 1.0);
  const Outcome run = Watch(Defaults(8), source);
  EXPECT_THAT(run.markers, HasSubstr("1008.250000       1008.050000"));
  ASSERT_GE(source.correction_waits.size(), 2u);
  EXPECT_EQ(source.correction_waits[1], 0.0);
  EXPECT_THAT(run.status_text,
              HasSubstr("-0.200000 s (last of 2 estimates, from -0.250000 to -0.200000 s)"));
  EXPECT_THAT(run.status_text, HasSubstr("round-trip time         0.000300 s (last of 2 "
                                         "estimates, from 0.000300 to 0.000400 s)"));
}

TEST(MonitorOutput, QuietDropsTheMarkerLinesOnly) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 3, 1.0);
  Options options = Defaults(3);
  options.quiet = true;
  const Outcome run = Watch(options, source);
  EXPECT_EQ(run.markers, "");
  EXPECT_THAT(run.status_text, HasSubstr("markers received        3\n"));
}

TEST(MonitorOutput, RollingStatusEverySoManySeconds) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 3, 1.0);
  Options options = Defaults();
  options.duration = 10.5;
  options.every = 5.0;
  options.max_missed = 100;
  const Outcome run = Watch(options, source);
  std::vector<std::string> statuses;
  for (const std::string &line : Lines(run.status_text))
    if (line.rfind("status after ", 0) == 0) statuses.push_back(line);
  ASSERT_EQ(statuses.size(), 2u) << run.status_text;
  EXPECT_THAT(statuses[0], MatchesRegex("status after 5\\.[0-9] s: 3 markers, 1 missed pulses, p99 "
                                        "\\|interval - period\\| 0\\.000000 s, time "
                                        "correction -0\\.250000 s"));
  EXPECT_THAT(statuses[1], MatchesRegex("status after 10\\.[0-9] s: 3 markers, 6 missed .*"));
}

// A probe for a vanished outlet can hold the loop for seconds; every pulse
// still gets its alert, in order, none skipped.
TEST(MonitorOutput, OneAlertPerMissedPulseWhateverHoldsTheLoop) {
  ScriptedSource source;
  source.absences = {{kStart + 3.5, kStart + 1000.0}};
  source.Markers(kStart + 1.0, 3, 1.0);
  source.slow_probe = 1.7;
  Options options = Defaults();
  options.duration = 14.0;
  options.timeout = 100.0;
  const Outcome run = Watch(options, source);
  std::vector<std::string> alerts;
  for (const std::string &line : Lines(run.status_text))
    if (line.rfind("no marker for ", 0) == 0) alerts.push_back(line);
  // The silence lasts from 3 s to the end at 14.3 s: 10 pulses missed.
  ASSERT_EQ(alerts.size(), 10u) << run.status_text;
  for (std::size_t k = 1; k <= alerts.size(); ++k)
    EXPECT_EQ(alerts[k - 1], "no marker for " + std::to_string(k) + ".5 s (" + std::to_string(k) +
                                 (k == 1 ? " pulse missed)" : " pulses missed)"));
  EXPECT_THAT(run.status_text, HasSubstr("missed pulses           10: 10 after the last marker\n"));
}

// Keeps what it is told; fails from a given call on, like a disk that fills up.
class FakeRecorder : public WatchRecorder {
 public:
  RecordStatus StreamFound(const StreamDescription &stream, double) override {
    return Call("found " + stream.uid);
  }
  RecordStatus OtherStreamFound(const StreamDescription &stream, double) override {
    return Call("other " + stream.uid);
  }
  RecordStatus OutletChanged(const StreamDescription &outlet, double) override {
    return Call("restart " + outlet.uid);
  }
  RecordStatus MarkerReceived(const MarkerRecord &marker) override {
    return Call("marker " + std::to_string(marker.row.index) + " " + marker.channels.at(0));
  }
  RecordStatus CorrectionMeasured(double, const ClockEstimate &estimate) override {
    return Call("correction " + std::to_string(estimate.correction));
  }
  RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                      int status) override {
    finished = true;
    finish_status = status;
    finish_reasons = reasons;
    report_seen = report;
    return {};
  }
  RecordStatus Call(const std::string &what) {
    calls.push_back(what);
    if (static_cast<int>(calls.size()) < fail_from) return {};
    return base::Fail(RecordError::kWrite, "cannot write x: No space left on device");
  }
  bool Heard(const std::string &call) const {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }
  std::vector<std::string> calls;
  int fail_from = 1000;
  bool finished = false;
  int finish_status = -1;
  std::vector<std::string> finish_reasons;
  WatchReport report_seen;
};

TEST(MonitorRecorders, SeeTheStreamEveryMarkerEveryCorrectionAndTheEnd) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 6, 1.0);
  FakeRecorder recorder;
  const Outcome run = Watch(Defaults(6), source, std::nullopt, &recorder);
  EXPECT_EQ(run.status, kExitNormal);
  ASSERT_GE(recorder.calls.size(), 8u);
  EXPECT_EQ(recorder.calls[0], "found uid-1");
  EXPECT_EQ(recorder.calls[1], "correction -0.250000");
  EXPECT_EQ(recorder.calls[2], "marker 1 " + kText);
  // A refreshed correction every 5 s.
  EXPECT_NE(std::find(recorder.calls.begin() + 3, recorder.calls.end(), "correction -0.250000"),
            recorder.calls.end());
  EXPECT_TRUE(recorder.finished);
  EXPECT_EQ(recorder.finish_status, kExitNormal);
  EXPECT_EQ(recorder.report_seen.intervals.markers, 6);
}

TEST(MonitorRecorders, AFailedWriteEndsTheWatchWithStatus5AndStillFinishes) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 10, 1.0);
  FakeRecorder recorder;
  recorder.fail_from = 4;  // found, correction, marker 1, marker 2 fails
  const Outcome run = Watch(Defaults(), source, std::nullopt, &recorder);
  EXPECT_EQ(run.status, kExitWriteFailed);
  EXPECT_EQ(run.errors, "maroquint-monitor: cannot write x: No space left on device\n");
  EXPECT_EQ(recorder.calls.size(), 4u);
  EXPECT_TRUE(recorder.finished);
  EXPECT_EQ(recorder.finish_status, kExitWriteFailed);
  EXPECT_THAT(run.status_text, HasSubstr("markers received        2\n"));
}

TEST(MonitorRecorders, NoStreamStillFinishesTheRecords) {
  ScriptedSource source;
  source.appears_at.reset();
  Options options = Defaults();
  options.timeout = 1.0;
  FakeRecorder recorder;
  EXPECT_EQ(Watch(options, source, std::nullopt, &recorder).status, kExitNoStream);
  EXPECT_TRUE(recorder.finished);
  EXPECT_EQ(recorder.finish_reasons, std::vector<std::string>{"no stream found"});
}

TEST(MonitorRecorders, AnOutletGoneAtTheEndIsInTheReportLostOrNot) {
  for (const double timeout : {4.0, 100.0}) {
    ScriptedSource source;
    source.absences = {{kStart + 3.5, kStart + 1000.0}};
    source.Markers(kStart + 1.0, 3, 1.0);
    Options options = Defaults();
    options.timeout = timeout;
    options.duration = 12.0;
    FakeRecorder recorder;
    const Outcome run = Watch(options, source, std::nullopt, &recorder);
    const WatchReport &report = recorder.report_seen;
    EXPECT_EQ(report.lost, timeout < 10.0) << timeout;
    EXPECT_TRUE(report.gone_at_end) << timeout;
    // Found gone by the probe two periods after the last marker (3 s).
    EXPECT_NEAR(report.gone_at, 5.0 - 0.301, 0.01) << timeout;
    EXPECT_NEAR(report.last_marker_at, 3.0 - 0.301, 0.01);
    EXPECT_EQ(report.missed_after_last, report.MissedPulses()) << run.status_text;
  }
}

TEST(MonitorStreams, ASecondStreamOfTheSameNameMakesTheWatchUnhealthy) {
  ScriptedSource source;
  StreamDescription second = Stream("uid-2");
  second.hostname = "other-pc";
  source.streams = {Stream("uid-1"), second};
  source.Markers(kStart + 1.0, 3, 1.0);
  FakeRecorder recorder;
  const Outcome run = Watch(Defaults(3), source, std::nullopt, &recorder);
  EXPECT_EQ(run.status, kExitUnhealthy);
  EXPECT_THAT(run.status_text, HasSubstr("Watching \"Maroquint\" (type \"Markers\", source id "
                                         "\"bf37e271\", host \"lab-pc\", uid uid-1)\nAnother "
                                         "stream matches name \"Maroquint\": "));
  EXPECT_THAT(run.status_text, HasSubstr("host \"other-pc\", uid uid-2; the monitor watches uid "
                                         "uid-1.\n"));
  EXPECT_THAT(run.status_text,
              ::testing::EndsWith("\nUNHEALTHY: 2 streams named \"Maroquint\": uid uid-1 on host "
                                  "\"lab-pc\" (watched), uid uid-2 on host \"other-pc\"\n"));
  EXPECT_EQ(recorder.calls[1], "other uid-2");
}

TEST(MonitorStreams, AStreamInAnotherLetterCaseIsSuggested) {
  ScriptedSource source;
  source.appears_at.reset();
  source.other_case = {Stream("uid-1")};
  Options options = Defaults();
  options.query.name = "maroquint";
  options.timeout = 2.0;
  const Outcome run = Watch(options, source);
  EXPECT_EQ(run.status, kExitNoStream);
  EXPECT_THAT(run.errors, HasSubstr("no stream with name \"maroquint\" found within 2.0 s\n  "
                                    "did you mean \"Maroquint\"  type \"Markers\""));
  EXPECT_THAT(run.status_text, HasSubstr("UNHEALTHY: no stream found\n"));
}

TEST(MonitorStreams, ListGivesOneLineOrTheXmlOfEachStream) {
  ScriptedSource source;
  StreamDescription eeg = Stream("uid-2");
  eeg.name = "EEG";
  eeg.type = "EEG";
  eeg.channel_count = 32;
  eeg.channel_format = "float32";
  eeg.nominal_srate = 512;
  eeg.hostname = "pc-2";
  eeg.created_at = kStart - 2.0;
  source.streams.front().created_at = kStart - 2.0;
  source.streams.push_back(eeg);
  std::ostringstream out, errors;
  EXPECT_EQ(ListStreams(source, false, out, errors), kExitNormal);
  EXPECT_EQ(out.str(),
            "\"Maroquint\"  type \"Markers\", 1 channel, string, irregular rate, source id "
            "\"bf37e271\", host \"lab-pc\", uid uid-1, created 4.0 s ago\n"
            "\"EEG\"  type \"EEG\", 32 channels, float32, 512 Hz, source id \"bf37e271\", host "
            "\"pc-2\", uid uid-2, created at 998.0 s on its host's clock (another host: its age "
            "is not known here)\n");
  std::ostringstream xml;
  ListStreams(source, true, xml, errors);
  EXPECT_THAT(xml.str(), HasSubstr("<info><name>Maroquint</name></info>\n"));
  EXPECT_EQ(errors.str(), "");
}

// A second instance started while markers flow: found by the look around
// every 10 s, without a silence.
TEST(MonitorStreams, ASecondInstanceStartedDuringTheWatchIsFound) {
  ScriptedSource source;
  source.Markers(kStart + 1.0, 15, 1.0);
  source.also_present = {Stream("uid-7")};
  const Outcome run = Watch(Defaults(15), source);
  EXPECT_GE(source.looks, 1);
  EXPECT_EQ(source.probes, 0);
  EXPECT_THAT(run.status_text, HasSubstr("Another stream matches name \"Maroquint\": "));
  EXPECT_THAT(run.status_text, ::testing::EndsWith("\nUNHEALTHY: 2 streams named \"Maroquint\": "
                                                   "uid uid-1 on host \"lab-pc\" (watched), uid "
                                                   "uid-7 on host \"lab-pc\"\n"));
}

// The program killed and started again within 2.5 s: the old outlet is
// gone, a new one (a new uid, the same source id) answers the probe.
TEST(MonitorStreams, ANewOutletWithinTheSilenceIsARestart) {
  ScriptedSource source;
  source.absences = {{kStart + 3.5, kStart + 5.5}};
  source.restarts = {{kStart + 5.5, "uid-2"}};
  source.Markers(kStart + 1.0, 8, 1.0);
  FakeRecorder recorder;
  const Outcome run = Watch(Defaults(6), source, std::nullopt, &recorder);
  EXPECT_EQ(run.status, kExitUnhealthy);
  EXPECT_THAT(run.status_text, HasSubstr("The stream restarted: a new outlet, uid uid-2 on host "
                                         "\"lab-pc\", in place of uid uid-1.\n"));
  EXPECT_THAT(run.status_text, Not(HasSubstr("outlet is still there")));
  EXPECT_THAT(run.status_text, HasSubstr("the stream's old outlet is gone and a new one is there"));
  EXPECT_THAT(run.markers, HasSubstr("  [new outlet: the stream restarted]  [2 pulses missed]\n"));
  EXPECT_THAT(run.status_text, HasSubstr("markers are back after 3.0 s (2 pulses missed in the "
                                         "gap, from a new outlet)\n"));
  EXPECT_THAT(run.status_text,
              HasSubstr("  restarts                1 (outlets: uid uid-1, then uid uid-2)\n"));
  EXPECT_THAT(run.status_text,
              ::testing::EndsWith("\nUNHEALTHY: 1 restart of the stream (a new outlet: uid uid-1, "
                                  "then uid uid-2); 2 missed pulses (limit 0): 2 in a gap before "
                                  "marker 4\n"));
  EXPECT_TRUE(recorder.Heard("restart uid-2"));
}

}  // namespace
}  // namespace maroquint::monitor
