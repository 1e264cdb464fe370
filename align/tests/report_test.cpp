#include "report.h"

#include <gtest/gtest.h>

#include <algorithm>

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

  const std::string json = ResultJson(result, sources);
  for (const char *key :
       {"\"status\": \"aligned\"", "\"reason\": null", "\"decided_by\": \"a shared pattern\"",
        "\"pairs\": 3", "\"unmatched_onsets\": [0.5]", "\"unmatched_markers\": [1010]",
        "\"offset_s\": 1000", "\"offset_ci95_s\": [", "\"drift_ppm\": ", "\"drift_ci95_ppm\": [",
        "\"residual_mean_s\": ", "\"residual_sd_s\": ", "\"residual_p99_s\": ",
        "\"residual_max_s\": ", "\"candidate_count\": 1",
        "{\"shift\": 0, \"offset_s\": 1000, \"pairs\": 3, \"unmatched\": 0, \"cost\": 1",
        "\"file_warnings\": [{\"kind\": \"damaged chunk, skipped to the next boundary\", "
        "\"count\": 2, \"first\": \"at byte 1234\"}]"}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in\n" << json;
  }
  EXPECT_EQ(json.find("equally_good_shifts"), std::string::npos);
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
  EXPECT_NE(ResultJson(result, sources).find("\"warnings\": [\"a drift of 400 ppm"),
            std::string::npos);
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
  const std::string json = ResultJson(result, sources);
  for (const char *key :
       {"\"status\": \"ambiguous\"", "\"decided_by\": null", "\"offset_s\": null", "\"a\": null",
        "\"offset_ci95_s\": null", "\"drift_ppm\": null", "\"candidates\": [\n    {\"shift\": "}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in\n" << json;
  }
  EXPECT_EQ(static_cast<std::size_t>(std::count(json.begin(), json.end(), '{')) - 2,
            result.candidates.size() + sources.file_warnings.size() - 1);
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
  const std::string json = ResultJson(result, sources);
  EXPECT_NE(json.find("\"status\": \"refused\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"offset_s\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"drift_ppm\": null"), std::string::npos) << json;
}

}  // namespace
}  // namespace maroquint::align
