// A recording session on the simulated device in real time, as a lab would
// make one: the program pulses, the simulated amplifier records the wire
// into a BDF file (and the truth beside it), maroquint-monitor records the
// markers into an XDF file; then maroquint-align pairs the two. Either
// recording may be a window of the run, as in a lab where the program runs
// for days and each recording covers an hour of it. Shared by the
// end-to-end test and the benchmark (POSIX: run through tools/netns-run).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace maroquint::align::session {

// Input samples [from, to) read a disconnected wire (the setting `cut`),
// counted at 10 kHz from the first read, which is the first pulse's. The
// amplifier sees ao0, not the input: it records the program's pulse held
// high through the cut, and the program's catch-up cycle after it; the
// markers show the cut as a gap. So both recordings show it.
struct Cut {
  long from = 0;
  long to = 0;
};

struct Config {
  double seconds = 30;  // of pulses
  int rate = 16384;     // amplifier samples per second
  double drift_ppm = 50;
  std::string dir;  // where the files go
  // The amplifier's recording as a window of the run, in seconds from the
  // first pulse (pulse k comes about k seconds after it); unset: from the
  // program's start, to the run's end. The BDF file ends with its last
  // whole second.
  std::optional<double> amplifier_from;
  std::optional<double> amplifier_to;
  // The marker recording as a window of the run: the monitor starts once
  // this many pulses have gone by (0: before the first pulse; later, it
  // takes a pulse or two to find the stream), and stops after this many
  // markers (0: some seconds after the run's end).
  int markers_after = 0;
  int markers_count = 0;
  std::vector<Cut> cuts;
  // Also write the EEG as LabRecorder writes it when the amplifier's data
  // come through LSL: one XDF file with the EEG stream and the markers.
  bool eeg_xdf = false;
};

struct Truth {
  double t0 = 0;  // LSL time of the amplifier's first sample
  double rate = 0;
  double drift_ppm = 0;
  std::vector<double> edges;  // true rising edges on the LSL clock, inside the recording
};

struct Result {
  std::string bdf, truth_path, xdf, json;
  // With Config::eeg_xdf: the XDF file of the EEG stream and the markers.
  std::string eeg_xdf;
  Truth truth;
  std::vector<double> marker_times;  // from the XDF, clock offsets applied
  std::string align_output;          // maroquint-align on the BDF and the markers' XDF
  std::optional<int> align_status;   // none: it did not end
};

// Runs the session and maroquint-align on it; false with the reason when
// a program failed to start or to write its file.
bool Record(const Config &config, Result &result, std::string &problem);

// What the EEG stream's time stamps add to the true time of each sample in
// the file Config::eeg_xdf writes: the transport's constant latency (their
// small jitter comes on top).
constexpr double kEegStreamLatency = 0.004;

// Runs maroquint-align with these arguments; its exit status (none when it
// did not end within minutes) and what it printed.
std::optional<int> Align(const std::vector<std::string> &arguments, std::string &output);

// The text of the value after "key": in a JSON text (a number, a string
// with its quotes, an array or object with its brackets); empty when absent.
std::string JsonValue(const std::string &json, const std::string &key);
// The number after "key": in a JSON text; NaN when absent.
double JsonNumber(const std::string &json, const std::string &key);
// The number after each "key": in a JSON text, in order.
std::vector<double> JsonNumbers(const std::string &json, const std::string &key);
// The numbers of the array after "key": in a JSON text.
std::vector<double> JsonNumberArray(const std::string &json, const std::string &key);
// The number of elements of the array after "key": in a JSON text.
std::size_t JsonArrayLength(const std::string &json, const std::string &key);

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Marker time stamp minus the true edge nearest it, for every marker of the
// amplifier's recording (the truth's edges are those inside it).
std::vector<double> StampErrors(const Result &result);

}  // namespace maroquint::align::session
