// An LSL string outlet whose markers the tests stamp themselves, so that
// what the monitor reports can be checked exactly.
#pragma once

#include "child_process.h"
#include "monitor_test_support.h"

#include <lsl_c.h>

#include <string>

namespace maroquint::monitor {

class TestOutlet {
 public:
  TestOutlet(const std::string &name, const std::string &type, const std::string &source_id) {
    const lsl_streaminfo info = lsl_create_streaminfo(
        name.c_str(), type.c_str(), 1, LSL_IRREGULAR_RATE, cft_string, source_id.c_str());
    if (info) {
      outlet_ = lsl_create_outlet(info, 0, 360);
      lsl_destroy_streaminfo(info);
    }
  }
  ~TestOutlet() {
    if (outlet_) lsl_destroy_outlet(outlet_);
  }
  TestOutlet(const TestOutlet &) = delete;
  TestOutlet &operator=(const TestOutlet &) = delete;

  bool Created() const { return outlet_ != nullptr; }
  bool WaitForMonitor() const {
    return lsl_wait_for_consumers(outlet_, harness::kGenerousSeconds) == 1;
  }
  void Push(double timestamp, const std::string &text = kText) const {
    const char *sample[1] = {text.c_str()};
    lsl_push_sample_strt(outlet_, sample, timestamp);
  }

 private:
  lsl_outlet outlet_ = nullptr;
};

}  // namespace maroquint::monitor
