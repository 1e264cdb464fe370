#include "marker_outlet.h"

#include <lsl_c.h>

namespace maroquint::markers {

namespace {

// liblsl's defaults: each push is its own chunk, and for an irregular stream
// 360 means up to 36000 markers held for a consumer that falls behind.
constexpr int32_t kChunkSize = 0;
constexpr int32_t kMaxBuffered = 360;

}  // namespace

maroquint::base::Status<MarkerOutletError> MarkerOutlet::Open() {
  const lsl_streaminfo info =
      lsl_create_streaminfo(kStreamName, kStreamType, 1, LSL_IRREGULAR_RATE, cft_string, kSourceId);
  if (info == nullptr)
    return maroquint::base::Fail(MarkerOutletError::kDeclaration,
                                 "the LSL library could not declare the marker stream");
  outlet_ = lsl_create_outlet(info, kChunkSize, kMaxBuffered);
  lsl_destroy_streaminfo(info);
  if (outlet_ == nullptr)
    return maroquint::base::Fail(MarkerOutletError::kOutlet,
                                 "the LSL library could not create the marker stream's outlet");
  return {};
}

void MarkerOutlet::PushMarker() {
  if (outlet_ == nullptr) return;
  const char *sample[1] = {kMarkerText};
  lsl_push_sample_str(outlet_, sample);
}

void MarkerOutlet::Close() {
  if (outlet_ == nullptr) return;
  lsl_destroy_outlet(outlet_);
  outlet_ = nullptr;
}

}  // namespace maroquint::markers
