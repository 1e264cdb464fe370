// What the tests of the built monitor share: an LSL string outlet whose
// markers the tests stamp themselves, so that what the monitor reports can
// be checked exactly, and temporary files for what it writes.
#pragma once

#include "child_process.h"

#include <lsl_c.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace maroquint::monitor {

inline const std::string kText = "/Experiment Control/Synchronization/Trigger/Biosemi";

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

// A file name in the temporary folder, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string &suffix)
      : path_(
            (std::filesystem::temp_directory_path() /
             ("maroquint-monitor-" +
              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + suffix))
                .string()) {}
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  const std::string &Path() const { return path_; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
};

}  // namespace maroquint::monitor
