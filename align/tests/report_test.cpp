#include "report.h"

#include <gtest/gtest.h>

namespace maroquint::align {
namespace {

TEST(Report, FilesCarryTheResult) {
  // The gap at 2.5 s leaves one pairing only.
  const std::vector<double> onsets = {0.5, 1.5, 3.5, 4.5};
  const std::vector<double> markers = {1001.5, 1003.5, 1004.5, 1010.0};
  Alignment result = Align(onsets, markers);
  ASSERT_EQ(result.outcome, Outcome::kOk);
  const Sources sources{"eeg.bdf", "m.xdf", 2048, &onsets, &markers};

  const std::string json = ResultJson(result, sources);
  for (const char *key :
       {"\"pairs\": 3", "\"unmatched_onsets\": [0.5]", "\"unmatched_markers\": [1010]",
        "\"offset_s\": 1000", "\"drift_ppm\": ", "\"residual_mean_s\": ", "\"residual_sd_s\": ",
        "\"residual_p99_s\": ", "\"residual_max_s\": "}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in\n" << json;
  }
  EXPECT_EQ(MappingJson(result, 2048),
            "{\n  \"formula\": \"lsl_time = a + b * sample_index / rate\",\n  \"a\": 1000,\n"
            "  \"b\": 1,\n  \"rate\": 2048\n}\n");
  const std::string csv = PairsCsv(result, 2048);
  EXPECT_EQ(csv.substr(0, csv.find('\n', csv.find('\n') + 1)),
            "onset,marker,eeg_sample,eeg_time,marker_time,residual,outlier\n"
            "2,1,3072,1.5,1001.5,0,0");
  const std::string text = TextReport(result, sources);
  EXPECT_NE(text.find("onset 1 at EEG 0.500000 s (sample 1024)"), std::string::npos) << text;
  EXPECT_NE(text.find("marker 4 at 1010.000000 s"), std::string::npos) << text;
  EXPECT_EQ(text.find("warning"), std::string::npos) << text;
  result.b = 0.999;
  EXPECT_NE(TextReport(result, sources).find("warning: a drift of 1001 ppm"), std::string::npos);
}

}  // namespace
}  // namespace maroquint::align
