// MarkerSource over the LSL C API: resolve, an inlet with recovery, pulls and
// time correction. Works the same with the bundled library and with liblsl.
#pragma once

#include "monitor_run.h"

#include <lsl_c.h>

#include <cstdint>
#include <string>

namespace maroquint::monitor {

class LslMarkerSource final : public MarkerSource {
 public:
  LslMarkerSource() = default;
  LslMarkerSource(const LslMarkerSource &) = delete;
  LslMarkerSource &operator=(const LslMarkerSource &) = delete;
  ~LslMarkerSource() override;

  double Now() override;
  double SystemTime() override;
  std::vector<StreamDescription> List(double wait) override;
  FindResult Find(const StreamQuery &query, double wait) override;
  Pulled Pull(double wait) override;
  std::optional<ClockEstimate> TimeCorrection(double wait) override;
  std::vector<StreamDescription> Present(double wait) override;
  std::optional<StreamDescription> Outlet(double wait) override;
  std::string HostName() override;
  std::vector<StreamDescription> Matching(const StreamQuery &query, double wait) override;

 private:
  bool Connect(lsl_streaminfo info);
  void Disconnect();

  // The declaration the inlet was made from, kept for the inlet's life.
  lsl_streaminfo info_ = nullptr;
  lsl_inlet inlet_ = nullptr;
  std::int32_t channels_ = 0;
  // What finds this stream's outlet again: its source id, which a restarted
  // outlet keeps, or, for a stream without one, its uid (only the very same
  // outlet).
  std::string probe_property_;
  std::string probe_value_;
  // Streams of the primary property seen by the last search that matched
  // none of the other properties; the next search waits for one more.
  std::int32_t candidates_seen_ = 0;
};

}  // namespace maroquint::monitor
