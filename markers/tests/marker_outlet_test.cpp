// MarkerOutlet against the LSL library in use, seen by a consumer in the
// same process.

#include "marker_outlet.h"

#include <gtest/gtest.h>
#include <lsl_c.h>

#include <string>

namespace maroquint::markers {

namespace {

TEST(MarkerOutletTest, PushBeforeOpenIsNotMadeAndDeclaresNothing) {
  MarkerOutlet outlet;
  outlet.PushMarker();
  lsl_streaminfo info = nullptr;
  EXPECT_EQ(lsl_resolve_byprop(&info, 1, "source_id", MarkerOutlet::kSourceId, 1, 1.0), 0);
}

TEST(MarkerOutletTest, OpenDeclaresTheStreamAndEachPushDeliversTheMarkerText) {
  MarkerOutlet outlet;
  ASSERT_TRUE(outlet.Open());

  lsl_streaminfo info = nullptr;
  ASSERT_EQ(lsl_resolve_byprop(&info, 1, "name", "Maroquint", 1, 10.0), 1);
  EXPECT_STREQ(lsl_get_type(info), "Markers");
  EXPECT_EQ(lsl_get_channel_count(info), 1);
  EXPECT_EQ(lsl_get_nominal_srate(info), LSL_IRREGULAR_RATE);
  EXPECT_EQ(lsl_get_channel_format(info), cft_string);
  EXPECT_STREQ(lsl_get_source_id(info), "bf37e271-e0ee-455b-bc9e-6c23a3308d0e");

  const lsl_inlet inlet = lsl_create_inlet(info, 360, 0, 1);
  lsl_destroy_streaminfo(info);
  ASSERT_NE(inlet, nullptr);
  int32_t error = 0;
  lsl_open_stream(inlet, 5.0, &error);
  ASSERT_EQ(error, 0);

  constexpr int kMarkers = 3;
  const double before = lsl_local_clock();
  for (int i = 0; i < kMarkers; ++i) outlet.PushMarker();
  const double after = lsl_local_clock();

  for (int i = 0; i < kMarkers; ++i) {
    char *sample[1] = {nullptr};
    const double stamp = lsl_pull_sample_str(inlet, sample, 1, 10.0, &error);
    ASSERT_NE(stamp, 0.0) << "marker " << i;
    EXPECT_EQ(std::string(sample[0]), "/Experiment Control/Synchronization/Trigger/Biosemi");
    EXPECT_EQ(std::string(sample[0]).size(), 51u);
    // Stamped with the library's clock at the push, in this same process.
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    lsl_destroy_string(sample[0]);
  }
  lsl_destroy_inlet(inlet);
}

TEST(MarkerOutletTest, CloseTakesTheStreamOffTheNetwork) {
  MarkerOutlet outlet;
  ASSERT_TRUE(outlet.Open());
  lsl_streaminfo info = nullptr;
  ASSERT_EQ(lsl_resolve_byprop(&info, 1, "source_id", MarkerOutlet::kSourceId, 1, 10.0), 1);
  // Without recovery, the inlet reports the outlet's end instead of waiting
  // for it to come back.
  const lsl_inlet inlet = lsl_create_inlet(info, 360, 0, 0);
  lsl_destroy_streaminfo(info);
  ASSERT_NE(inlet, nullptr);
  int32_t error = 0;
  lsl_open_stream(inlet, 5.0, &error);
  ASSERT_EQ(error, 0);

  outlet.Close();
  outlet.PushMarker();
  outlet.Close();
  char *sample[1] = {nullptr};
  EXPECT_EQ(lsl_pull_sample_str(inlet, sample, 1, 60.0, &error), 0.0);
  EXPECT_EQ(error, lsl_lost_error);
  lsl_destroy_inlet(inlet);
  EXPECT_EQ(lsl_resolve_byprop(&info, 1, "source_id", MarkerOutlet::kSourceId, 1, 1.0), 0);
}

}  // namespace

}  // namespace maroquint::markers
