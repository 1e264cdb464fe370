// A recording session on the simulated device in real time, as a lab would
// make one: the program pulses, the simulated amplifier records the wire
// into a BDF file (and the truth beside it), maroquint-monitor records the
// markers into an XDF file; then maroquint-align pairs the two. Shared by
// the end-to-end test and the benchmark (POSIX: run through
// tools/netns-run).
#pragma once

#include <string>
#include <vector>

namespace maroquint::align::session {

struct Config {
  double seconds = 30;  // of pulses
  int rate = 16384;     // amplifier samples per second
  double drift_ppm = 50;
  std::string dir;  // where the files go
};

struct Truth {
  double t0 = 0;  // LSL time of the amplifier's first sample
  double rate = 0;
  double drift_ppm = 0;
  std::vector<double> edges;  // true rising edges on the LSL clock
};

struct Result {
  std::string bdf, truth_path, xdf, json;
  Truth truth;
  std::vector<double> marker_times;  // from the XDF, clock offsets applied
  std::string align_output;
  int align_status = -1;
};

// Runs the session and maroquint-align on it; false with the reason when
// a program failed to start or to write its file.
bool Record(const Config &config, Result &result, std::string &problem);

// The number after "key": in a JSON text; NaN when absent.
double JsonNumber(const std::string &json, const std::string &key);
// The number of elements of the array after "key": in a JSON text.
std::size_t JsonArrayLength(const std::string &json, const std::string &key);

// Marker time stamp minus the true edge nearest it, for every marker.
std::vector<double> StampErrors(const Result &result);

}  // namespace maroquint::align::session
