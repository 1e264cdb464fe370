// The experiment's events on the EEG samples: the mapping both ways, the
// placing of events, the TSV they are written to, their check against
// hardware triggers.
#include "events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "check_bits.h"
#include "mapping.h"
#include "test_files.h"

namespace maroquint::align {
namespace {

constexpr double kRate = 2048;
constexpr double kA = 1000.25;
constexpr double kB = 1 - 30e-6;

TEST(Mapping, GoesBothWays) {
  const Mapping mapping = SingleLine(kA, kB, kRate, 100000);
  for (const double sample : {0.0, 1.0, 12345.0, 99999.0}) {
    EXPECT_NEAR(mapping.SampleAt(mapping.LslTime(sample)), sample, 1e-6);
  }
  EXPECT_DOUBLE_EQ(mapping.LslTime(2048), kA + kB);
}

TEST(Mapping, TakesTheSegmentThatHoldsTheTime) {
  Mapping mapping{kRate, {}};
  Segment first, second;
  first.a = kA;
  first.last_sample = 9999;
  second.a = kA + 0.5;  // the LSL clock stepped half a second forward
  second.first_sample = 10000;
  second.last_sample = 19999;
  mapping.segments = {first, second};
  EXPECT_NEAR(mapping.SampleAt(kA + 100 / kRate), 100, 1e-6);
  EXPECT_NEAR(mapping.SampleAt(kA + 0.5 + 15000 / kRate), 15000, 1e-6);
  EXPECT_NEAR(mapping.LslTime(15000), kA + 0.5 + 15000 / kRate, 1e-9);
  // In the step's gap, the nearer segment.
  EXPECT_NEAR(mapping.SampleAt(kA + 10000.5 / kRate), 10000.5, 1e-6);
}

TEST(Mapping, TheFileHasBothFormulasAndEverySegment) {
  const base::Json json = MappingFileJson(SingleLine(kA, kB, kRate, 1000));
  EXPECT_EQ(json["formula"], "lsl_time = a + b * sample_index / rate");
  EXPECT_EQ(json["inverse_formula"], "sample_index = (lsl_time - a) * rate / b");
  EXPECT_EQ(json["a"], kA);
  EXPECT_EQ(json["b"], kB);
  EXPECT_EQ(json["rate"], kRate);
  EXPECT_EQ(json["piecewise"], false);
  ASSERT_EQ(json["segments"].size(), 1u);
  EXPECT_EQ(json["segments"][0]["first_sample"], 0);
  EXPECT_EQ(json["segments"][0]["last_sample"], 999);
  // Read back from the file's text, the numbers are the same to the bit.
  const base::Json read = base::Json::parse(base::WriteJson(json));
  EXPECT_EQ(read["a"].get<double>(), kA);
  EXPECT_EQ(read["b"].get<double>(), kB);
}

// The README's worked example, both ways, from its own a, b and rate.
TEST(Mapping, TheReadmeExampleHolds) {
  const std::string readme = test::ReadFile(std::string(MAROQUINT_SOURCE_DIR) + "/align/README.md");
  const std::regex forward(R"(([0-9.]+) \+ ([0-9.]+) × ([0-9]+) / ([0-9]+) = ([0-9.]+) s)");
  const std::regex inverse(R"(\(([0-9.]+) − ([0-9.]+)\) × ([0-9]+) / ([0-9.]+) = ([0-9.]+))");
  std::smatch f, i;
  ASSERT_TRUE(std::regex_search(readme, f, forward));
  ASSERT_TRUE(std::regex_search(readme, i, inverse));
  const double a = std::stod(f[1]), b = std::stod(f[2]), rate = std::stod(f[4]);
  const double sample = std::stod(f[3]);
  const double lsl = std::stod(f[5]);
  const std::string &decimals = f[5];
  const double unit =
      std::pow(10.0, -static_cast<double>(decimals.size() - decimals.find('.') - 1));
  EXPECT_NEAR(a + b * sample / rate, lsl, unit / 2);
  // The inverse takes the forward's result back to the sample, with the
  // same a, b and rate.
  EXPECT_EQ(std::stod(i[1]), lsl);
  EXPECT_EQ(std::stod(i[2]), a);
  EXPECT_EQ(std::stod(i[3]), rate);
  EXPECT_EQ(std::stod(i[4]), b);
  EXPECT_NEAR((lsl - a) * rate / b, std::stod(i[5]), 0.05);
  EXPECT_NEAR(std::stod(i[5]), sample, 0.05);
}

// A few hundred markers at known times, on samples and between them.
TEST(PlaceEvents, PutsEachMarkerOnItsSample) {
  const std::int64_t samples = 2048 * 400;
  const Mapping mapping = SingleLine(kA, kB, kRate, samples);
  EventStream stream{"Experiment", {}, {}};
  std::vector<std::int64_t> expected;
  for (int k = 0; k < 300; ++k) {
    const std::int64_t sample = 1000 + k * 2711;
    // A quarter of a sample late: still nearest to `sample`.
    stream.times.push_back(kA + kB * (sample + 0.25 * (k % 2)) / kRate);
    stream.values.push_back("stim " + std::to_string(k));
    expected.push_back(sample);
  }
  const PlacedEvents placed = PlaceEvents({stream}, mapping, samples);
  ASSERT_EQ(placed.events.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(placed.events[k].sample, expected[k]);
    EXPECT_NEAR(placed.events[k].onset_s, (expected[k] + 0.25 * (k % 2)) / kRate, 1e-9);
    EXPECT_EQ(placed.events[k].value, "stim " + std::to_string(k));
  }
  EXPECT_EQ(placed.counts[0].placed, 300u);
}

TEST(PlaceEvents, CountsWhatFallsOutsideTheRecording) {
  const Mapping mapping = SingleLine(kA, kB, kRate, 10000);
  EventStream stream{"Experiment", {}, {}};
  for (const double sample : {-3000.0, -0.1, 0.0, 5000.0, 9999.4, 9999.6, 20000.0}) {
    stream.times.push_back(mapping.LslTime(sample));
    stream.values.push_back("x");
  }
  const PlacedEvents placed = PlaceEvents({stream}, mapping, 10000);
  ASSERT_EQ(placed.events.size(), 3u);
  EXPECT_EQ(placed.events[0].sample, 0);
  EXPECT_EQ(placed.events[2].sample, 9999);
  EXPECT_EQ(placed.counts[0].before, 2u);
  EXPECT_EQ(placed.counts[0].after, 2u);
}

TEST(EventsTsv, EscapesWhatWouldBreakARow) {
  EXPECT_EQ(EscapeTsvValue("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\\\e");
  EXPECT_EQ(EscapeTsvValue(""), "n/a");
  const Mapping mapping = SingleLine(kA, 1, kRate, 100000);
  EventStream stream{"Exp\tName", {}, {}};
  for (const std::string value : {"plain", "tab\there", "line\nbreak", "cr\r\n", "back\\slash"}) {
    stream.times.push_back(mapping.LslTime(100.0 * static_cast<double>(stream.times.size() + 1)));
    stream.values.push_back(value);
  }
  const PlacedEvents placed = PlaceEvents({stream}, mapping, 100000);
  const auto rows = test::TsvRows(EventsTsv(placed, {stream}));
  ASSERT_EQ(rows.size(), 6u);
  for (const auto &row : rows) EXPECT_EQ(row.size(), 6u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"onset", "duration", "sample", "value", "trial_type",
                                               "stream"}));
  EXPECT_EQ(rows[2][3], "tab\\there");
  EXPECT_EQ(rows[2][5], "Exp\\tName");
  EXPECT_EQ(rows[1][1], "n/a");
  EXPECT_EQ(rows[1][2], "100");
  EXPECT_EQ(rows[1][0], "0.048828125");
}

TEST(EventsTsv, TheSidecarDescribesEveryColumn) {
  const base::Json json = EventsSidecarJson(SingleLine(kA, kB, kRate, 10));
  for (const std::string column :
       {"onset", "duration", "sample", "value", "trial_type", "stream"}) {
    EXPECT_TRUE(json[column]["Description"].is_string()) << column;
  }
  EXPECT_NE(json["value"]["Description"].get<std::string>().find(
                "a backslash is written \\\\, a tab \\t"),
            std::string::npos)
      << json;
  EXPECT_EQ(json["SamplingFrequency"], kRate);
  EXPECT_EQ(json["GeneratedBy"][0]["Name"], "maroquint-align");
}

// Events 3 ms (with a jitter) after hardware triggers on bit 1, one with
// no trigger.
TEST(CheckBits, GivesTheLatencyOfEachStream) {
  std::vector<std::int64_t> triggers;
  PlacedEvents placed;
  placed.counts.resize(2);
  placed.counts[0].name = "Experiment";
  placed.counts[1].name = "Responses";
  for (int k = 0; k < 200; ++k) {
    const std::int64_t onset = 5000 + k * 1500;
    triggers.push_back(onset);
    const double latency = 0.003 + (k % 5 - 2) * 1e-4;
    placed.events.push_back({(onset - 0.5) / kRate + latency, 0, 0, "stim"});
  }
  placed.events.push_back({1.0, 0, 1, "response"});  // nowhere near a trigger
  const TriggerChecks checks = CheckAgainstTriggers(placed, triggers, kRate);
  EXPECT_DOUBLE_EQ(checks.window_s, 0.5 * 1500 / kRate);
  ASSERT_EQ(checks.streams.size(), 2u);
  const TriggerCheck &e = checks.streams[0];
  EXPECT_EQ(e.matched, 200u);
  EXPECT_NEAR(e.median_s, 0.003, 1e-9);
  EXPECT_NEAR(e.min_s, 0.0028, 1e-9);
  EXPECT_NEAR(e.max_s, 0.0032, 1e-9);
  EXPECT_NEAR(e.max_abs_s, 0.0032, 1e-9);
  EXPECT_NEAR(e.p99_abs_s, 0.0032, 1e-9);
  EXPECT_TRUE(e.unmatched_onsets_s.empty());
  const TriggerCheck &r = checks.streams[1];
  EXPECT_EQ(r.matched, 0u);
  ASSERT_EQ(r.unmatched_onsets_s.size(), 1u);
  EXPECT_DOUBLE_EQ(r.unmatched_onsets_s[0], 1.0);
}

TEST(CheckBits, ReadsDecimalAndHexMasks) {
  EXPECT_EQ(ParseMask("0xFE").Value(), 0xFEu);
  EXPECT_EQ(ParseMask("254").Value(), 254u);
  EXPECT_EQ(ParseMask("010").Value(), 10u);
  for (const std::string bad : {"", "0", "-2", "0x", "12ab", "0x8000000000000000"}) {
    const auto mask = ParseMask(bad);
    ASSERT_FALSE(mask.Ok()) << bad;
    EXPECT_EQ(mask.Code(), MaskError::kNotAMask);
  }
}

}  // namespace
}  // namespace maroquint::align
