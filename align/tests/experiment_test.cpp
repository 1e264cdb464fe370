// After the fit: the events placed by the segment that holds them, and how
// the report and the JSON tell it.
#include "experiment.h"

#include <gtest/gtest.h>

namespace maroquint::align {
namespace {

constexpr double kRate = 1000;
constexpr double kA = 300;
constexpr double kStep = 0.004;  // the LSL clock stepped at EEG 600.5 s

double Truth(double eeg_time) {
  return kA + eeg_time + (eeg_time > 600.5 ? kStep : 0);
}

Alignment Stepped() {
  Alignment result;
  result.a = kA;
  result.b = 1;
  for (int k = 1; k < 1200; ++k) {
    // Onsets half a sample after their edges, markers a little either side.
    const double jitter = ((k * 7919) % 11 - 5) * 2e-5;
    result.pairs.push_back({static_cast<std::size_t>(k), static_cast<std::size_t>(k),
                            k + 0.5 / kRate, Truth(k) + jitter});
  }
  return result;
}

TEST(Experiment, EventsTakeTheSegmentThatHoldsThem) {
  const Alignment result = Stepped();
  EventStream stream{"Experiment", {Truth(100.2), Truth(900.7), Truth(1300)}, {"a", "b", "c"}};
  const std::vector<EventStream> streams{stream};
  const Experiment experiment =
      PlaceExperiment(result, kRate, 1200 * 1000, &streams, {100200, 900000}, 0xFE);
  ASSERT_EQ(experiment.mapping.segments.size(), 2u) << experiment.segments.reason;
  ASSERT_EQ(experiment.events.events.size(), 2u);
  EXPECT_EQ(experiment.events.events[0].sample, 100200);
  EXPECT_EQ(experiment.events.events[1].sample, 900700);
  EXPECT_EQ(experiment.events.counts[0].after, 1u);
  ASSERT_TRUE(experiment.checks);
  EXPECT_EQ(experiment.checks->streams[0].matched, 1u);
  EXPECT_EQ(experiment.checks->streams[0].unmatched_onsets_s.size(), 1u);

  const std::string report = ExperimentReport(experiment, "ev.tsv");
  EXPECT_NE(report.find("segments: 2"), std::string::npos) << report;
  const std::vector<std::string> warnings = ExperimentWarnings(experiment);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("mapped in 2 segments"), std::string::npos) << warnings[0];
  EXPECT_NE(report.find("stream Experiment: 2 of 3 on the EEG, 0 before its first sample, 1 after"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("on bits 0xFE"), std::string::npos) << report;
  const base::Json json = ExperimentJson(experiment, "ev.tsv");
  EXPECT_EQ(json["mapping_piecewise"], true) << json;
  EXPECT_EQ(json["mapping_segments"].size(), 2u) << json;
  EXPECT_EQ(json["events"]["written"], true) << json;
  EXPECT_EQ(json["events"]["file"], "ev.tsv") << json;
  EXPECT_EQ(json["events"]["streams"][0]["after_recording"], 1) << json;
  EXPECT_EQ(json["trigger_check"]["mask"], "0xFE") << json;
  EXPECT_EQ(json["trigger_check"]["streams"][0]["without_trigger"], 1) << json;
  EXPECT_EQ(json["trigger_check"]["streams"][0]["without_trigger_onsets_s"].size(), 1u) << json;
}

TEST(Experiment, OneLineIsTheFitsOwn) {
  Alignment result = Stepped();
  for (Pair &pair : result.pairs) pair.marker_time = kA + pair.eeg_time - 0.5 / kRate;
  result.a = kA + 1e-7;  // the fit's, not a refit
  const Experiment experiment = PlaceExperiment(result, kRate, 1200 * 1000, nullptr, {}, 0);
  ASSERT_EQ(experiment.mapping.segments.size(), 1u);
  EXPECT_EQ(experiment.mapping.segments[0].a, kA + 1e-7);
  EXPECT_FALSE(experiment.has_events);
  EXPECT_EQ(ExperimentReport(experiment, ""), "");
  EXPECT_TRUE(ExperimentWarnings(experiment).empty());
  const base::Json json = ExperimentJson(experiment, "");
  EXPECT_EQ(json["mapping_piecewise"], false) << json;
  EXPECT_FALSE(json.contains("events")) << json;
}

TEST(Experiment, NamesTheSidecarAndWhyNoEventsWereWritten) {
  const base::Json why = NoEventsJson("ev.tsv", "the result is ambiguous");
  EXPECT_EQ(why["events"]["written"], false);
  EXPECT_EQ(why["events"]["file"], "ev.tsv");
  EXPECT_EQ(why["events"]["reason"], "the result is ambiguous");
  EXPECT_EQ(SidecarPath("sub-01_events.tsv"), "sub-01_events.json");
  EXPECT_EQ(SidecarPath("events"), "events.json");
}

}  // namespace
}  // namespace maroquint::align
