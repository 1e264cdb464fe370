// What the tests of the built monitor share: starting it, reading its marker
// lines, and temporary files for what it writes. The LSL outlet the tests
// stamp themselves is in test_outlet.h.
#pragma once

#include "child_process.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace maroquint::monitor {

inline const std::string kText = "/Experiment Control/Synchronization/Trigger/Biosemi";

// The monitor with its output captured. Every run is bounded even when a
// test goes wrong: a --duration of the test comes later and wins.
inline std::unique_ptr<harness::ChildProcess> StartMonitor(std::vector<std::string> args) {
  args.insert(args.begin(), {"--duration", "120"});
  return harness::StartCapturing(MAROQUINT_MONITOR, args);
}

inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// A marker line of the plain output.
struct MarkerLine {
  long index = 0;
  double timestamp = 0.0;  // sender's clock
  double local = NAN;      // on the monitor's clock; NaN while no correction is known
  std::string interval;
  std::string rest;  // the text and the notes after it
};

// The marker lines of plain output, in order.
inline std::vector<MarkerLine> MarkerLines(const std::string &out) {
  std::vector<MarkerLine> lines;
  for (const std::string &line : Lines(out)) {
    std::istringstream fields(line);
    MarkerLine marker;
    std::string local;
    if (!(fields >> marker.index >> marker.timestamp >> local >> marker.interval)) continue;
    if (local != "-") marker.local = std::stod(local);
    std::getline(fields >> std::ws, marker.rest);
    lines.push_back(marker);
  }
  return lines;
}

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
