#include "report.h"

#include <gtest/gtest.h>

#include <cmath>

namespace maroquint::align {
namespace {

Sources MakeSources(const std::vector<double> &onsets, const std::vector<double> &markers) {
  Sources sources;
  sources.eeg = "eeg.bdf, channel A1, bit 0";
  sources.channel = "A1";
  sources.markers = "m.xdf";
  sources.rate = 2048;
  sources.onset_times = &onsets;
  sources.marker_times = &markers;
  sources.trigger_like_channels = {"Status"};
  sources.file_warnings = {{"damaged chunk, skipped to the next boundary", 2, "at byte 1234"}};
  return sources;
}

TEST(Report, FilesCarryTheResult) {
  // The gap at 2.5 s leaves one pairing only.
  const std::vector<double> onsets = {0.5, 1.5, 3.5, 4.5};
  const std::vector<double> markers = {1001.5, 1003.5, 1004.5, 1010.0};
  Alignment result = Align(onsets, markers);
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  const Sources sources = MakeSources(onsets, markers);

  // Read back from the text, as a script reads it.
  const base::Json json = base::Json::parse(base::WriteJson(ResultJson(result, sources)));
  EXPECT_EQ(json["status"], "aligned") << json;
  EXPECT_TRUE(json["reason"].is_null()) << json;
  EXPECT_EQ(json["decided_by"], "a shared pattern") << json;
  EXPECT_EQ(json["pairs"], 3) << json;
  EXPECT_EQ(json["unmatched_onsets"], base::Json({0.5})) << json;
  EXPECT_EQ(json["unmatched_markers"], base::Json({1010.0})) << json;
  EXPECT_NEAR(json["offset_s"].get<double>(), 1000, 1e-9) << json;
  EXPECT_EQ(json["a"], json["offset_s"]) << json;
  EXPECT_EQ(json["offset_ci95_s"].size(), 2u) << json;
  EXPECT_TRUE(json["drift_ppm"].is_number()) << json;
  EXPECT_EQ(json["drift_ci95_ppm"].size(), 2u) << json;
  for (const char *key :
       {"residual_mean_s", "residual_sd_s", "residual_p99_s", "residual_max_s", "b", "rate"}) {
    EXPECT_TRUE(json[key].is_number()) << key << " in\n" << json;
  }
  EXPECT_EQ(json["candidate_count"], 1) << json;
  ASSERT_EQ(json["candidates"].size(), 1u) << json;
  const base::Json &candidate = json["candidates"][0];
  EXPECT_EQ(candidate["shift"], 0);
  EXPECT_NEAR(candidate["offset_s"].get<double>(), 1000, 1e-9);
  EXPECT_EQ(candidate["pairs"], 3);
  EXPECT_EQ(candidate["unmatched"], 0);
  EXPECT_EQ(candidate["cost"], 1);
  EXPECT_EQ(json["file_warnings"],
            base::Json::parse(R"([{"kind": "damaged chunk, skipped to the next boundary",
                                   "count": 2, "first": "at byte 1234"}])"));
  EXPECT_EQ(json["warnings"], base::Json::array()) << json;
  EXPECT_FALSE(json.contains("equally_good_shifts"));
  const std::string csv = PairsCsv(result, 2048);
  EXPECT_EQ(csv.substr(0, csv.find('\n', csv.find('\n') + 1)),
            "onset,marker,eeg_sample,eeg_time,marker_time,residual,outlier\n"
            "2,1,3072,1.5,1001.5,0,0");
  const std::string text = TextReport(result, sources);
  for (const char *line :
       {"onset 1 at EEG 0.500000 s (sample 1024)", "marker 4 at 1010.000000 s",
        "decided by: a shared pattern", "95 % interval",
        "file warning: damaged chunk, skipped to the next boundary: 2 time(s), first at byte "
        "1234"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_EQ(text.find("\nwarning:"), std::string::npos) << text;
  result.b = 0.9996;
  EXPECT_NE(TextReport(result, sources).find("warning: a drift of 400 ppm"), std::string::npos);
  const base::Json drifting = ResultJson(result, sources);
  ASSERT_EQ(drifting["warnings"].size(), 1u) << drifting;
  EXPECT_EQ(drifting["warnings"][0].get<std::string>().rfind("a drift of 400 ppm", 0), 0u);
}

TEST(Report, AnAmbiguousResultListsTheCandidatesAndNoOffset) {
  std::vector<double> onsets, markers;
  for (int n = 0; n < 100; ++n) onsets.push_back(0.25 + n);
  for (int n = 30; n < 150; ++n) markers.push_back(500.5 + n);
  const Alignment result = Align(onsets, markers);
  ASSERT_EQ(result.outcome, Outcome::kAmbiguous) << result.reason;
  const Sources sources = MakeSources(onsets, markers);
  const std::string text = TextReport(result, sources);
  EXPECT_EQ(text.rfind("AMBIGUOUS: ", 0), 0u) << text;
  const std::size_t last = text.rfind('\n', text.size() - 2);
  EXPECT_EQ(text.substr(last + 1, 11), "AMBIGUOUS: ") << text;
  for (const char *line :
       {"candidates: ", "shift 0: offset", "what would decide", "--first-pair"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_EQ(text.find("mapping:"), std::string::npos) << text;
  const base::Json json = base::Json::parse(base::WriteJson(ResultJson(result, sources)));
  EXPECT_EQ(json["status"], "ambiguous") << json;
  for (const char *key :
       {"decided_by", "offset_s", "a", "b", "offset_ci95_s", "drift_ppm", "drift_ci95_ppm"}) {
    EXPECT_TRUE(json[key].is_null()) << key << " in\n" << json;
  }
  EXPECT_EQ(json["candidate_count"], result.candidates.size());
  EXPECT_EQ(json["candidates"].size(), result.candidates.size());
}

TEST(Report, ARefusalNamesTheChannelsThatLookLikeTriggers) {
  std::vector<double> onsets, markers;
  for (int n = 0; n < 500; ++n) onsets.push_back(0.004 * n);
  for (int n = 0; n < 10; ++n) markers.push_back(100.0 + n);
  const Alignment result = Align(onsets, markers);
  ASSERT_EQ(result.outcome, Outcome::kRefused);
  const Sources sources = MakeSources(onsets, markers);
  const std::string headline = Headline(result, sources);
  EXPECT_NE(
      headline.find("onset intervals (median 0.004 s) unlike the markers' period (median 1 s)"),
      std::string::npos)
      << headline;
  EXPECT_NE(headline.find("is `A1` the trigger channel? channels that look like triggers: Status"),
            std::string::npos)
      << headline;
  EXPECT_EQ(TextReport(result, sources).rfind("REFUSED: " + headline, 0), 0u);
  const base::Json json = ResultJson(result, sources);
  EXPECT_EQ(json["status"], "refused") << json;
  EXPECT_EQ(json["reason"], headline) << json;
  EXPECT_TRUE(json["offset_s"].is_null()) << json;
  EXPECT_TRUE(json["drift_ppm"].is_null()) << json;
  // A statistic that is not a number is written as JSON's null.
  Alignment unknown = result;
  unknown.residuals.sd = NAN;
  unknown.residuals.max = INFINITY;
  const std::string text = base::WriteJson(ResultJson(unknown, sources));
  EXPECT_NE(text.find("\"residual_sd_s\": null"), std::string::npos) << text;
  EXPECT_NE(text.find("\"residual_max_s\": null"), std::string::npos) << text;
}

}  // namespace
}  // namespace maroquint::align
