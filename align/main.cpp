// maroquint-align: pairs the trigger onsets of an EEG recording with the
// markers of the same pulses and reports the mapping between the clocks.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "inputs.h"
#include "pairing.h"
#include "report.h"
#ifdef MAROQUINT_ALIGN_PLOT
#include "plot.h"
#endif

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kCannotAlign = 1;   // no onsets, no markers, too few pairs, no overlap
constexpr int kBadInput = 2;      // a file cannot be read, or lacks the channel or stream
constexpr int kUsage = 64;        // EX_USAGE
constexpr int kCannotWrite = 74;  // EX_IOERR

void Error(const std::string &message) {
  std::cerr << "maroquint-align: " << message << "\n";
}

bool WriteFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  out.close();
  if (!out) Error(path + ": cannot write the file");
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  using namespace maroquint::align;
  CLI::App app{
      "Pairs the trigger onsets of an EEG recording with the markers of the same pulses and "
      "measures the mapping between the two clocks: marker time = a + b * EEG time.",
      "maroquint-align"};
  std::string eeg_path, marker_path, channel = "Status", stream = "Maroquint", eeg_stream;
  std::string csv_path, plot_path, json_path, mapping_path;
  int bit = 0;
  app.add_option("EEG_FILE", eeg_path,
                 "the EEG recording: BDF or EDF; or an XDF file whose numeric stream holds the "
                 "trigger channel")
      ->required();
  app.add_option("MARKER_FILE", marker_path,
                 "the markers: an XDF file (LabRecorder, maroquint-monitor --xdf) or "
                 "maroquint-monitor's --csv output; defaults to EEG_FILE when that is XDF");
  app.add_option("--channel", channel, "trigger channel: its label (or, in XDF, its number from 1)")
      ->capture_default_str();
  app.add_option("--bit", bit, "trigger bit of that channel, 0 = lowest")
      ->capture_default_str()
      ->check(CLI::Range(0, 62));
  app.add_option("--stream", stream, "name of the marker stream in the XDF file")
      ->capture_default_str();
  app.add_option("--eeg-stream", eeg_stream,
                 "name of the EEG stream when EEG_FILE is XDF (default: the first numeric stream "
                 "with the trigger channel)");
  app.add_option("--csv", csv_path, "write the pairs and their residuals as CSV");
  app.add_option("--json", json_path, "write the result as JSON");
  app.add_option("--mapping", mapping_path,
                 "write a, b and the EEG rate as JSON: LSL time = a + b * sample_index / rate");
#ifdef MAROQUINT_ALIGN_PLOT
  app.add_option("--plot", plot_path,
                 "draw the residuals over time and their histogram (.svg, .png)");
#endif
  app.footer(
      "Exit status: 0 aligned; 1 cannot align (no onsets or markers, too few pairs, no overlap); "
      "2 an input cannot be read or lacks the channel or stream; 64 bad command line; "
      "74 an output cannot be written.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kUsage;
  }

  const bool eeg_is_xdf = IsXdf(eeg_path);
  if (marker_path.empty()) {
    if (!eeg_is_xdf) {
      Error("MARKER_FILE is needed unless EEG_FILE is an XDF file");
      return kUsage;
    }
    marker_path = eeg_path;
  }
  EegTrigger trigger;
  MarkerTimes markers;
  std::string error;
  // An XDF file that holds both the EEG and the markers is read once.
  const bool one_file = eeg_is_xdf && marker_path == eeg_path;
  bool read = false;
  if (eeg_is_xdf) {
    XdfRequest request;
    request.trigger = true;
    request.eeg_stream = eeg_stream;
    request.channel = channel;
    request.bit = bit;
    request.markers = one_file;
    request.marker_stream = stream;
    read = ReadXdfInputs(eeg_path, request, trigger, markers, error);
  } else {
    read = ReadEdfTrigger(eeg_path, channel, bit, trigger, error);
  }
  if (read && !one_file) read = ReadMarkers(marker_path, stream, markers, error);
  for (const FileWarning &w : trigger.warnings)
    Error("warning: " + eeg_path + ": " + FormatWarning(w));
  for (const FileWarning &w : markers.warnings)
    Error("warning: " + marker_path + ": " + FormatWarning(w));
  if (!read) {
    Error(error);
    return kBadInput;
  }

  std::vector<double> onset_times;
  for (const std::int64_t sample : trigger.onsets) onset_times.push_back(sample / trigger.rate);
  // Streams of one XDF file share the recorder's clock: there, recordings
  // that do not overlap can be told apart from a failed pairing.
  if (trigger.has_span && !markers.times.empty() &&
      (markers.times.back() < trigger.first_time || markers.times.front() > trigger.last_time)) {
    Error(Describe(Outcome::kNoOverlap));
    return kCannotAlign;
  }
  Options options;
  options.sample_period_s = 1 / trigger.rate;
  const Alignment result = Align(onset_times, markers.times, options);
  const Sources sources{trigger.description, markers.description, trigger.rate, &onset_times,
                        &markers.times};
  if (result.outcome == Outcome::kOk || result.outcome == Outcome::kTooFewPairs) {
    std::cout << TextReport(result, sources);
  }
  if (result.outcome != Outcome::kOk) {
    Error(Describe(result.outcome) + " (" + std::to_string(onset_times.size()) + " onsets, " +
          std::to_string(markers.times.size()) + " markers, " +
          std::to_string(result.pairs.size()) + " pairs)");
    return kCannotAlign;
  }
  bool written = true;
  if (!csv_path.empty()) written &= WriteFile(csv_path, PairsCsv(result, trigger.rate));
  if (!json_path.empty()) written &= WriteFile(json_path, ResultJson(result, sources));
  if (!mapping_path.empty()) written &= WriteFile(mapping_path, MappingJson(result, trigger.rate));
#ifdef MAROQUINT_ALIGN_PLOT
  if (!plot_path.empty() && !PlotResiduals(result, sources, {}, plot_path, error)) {
    Error(error);
    written = false;
  }
#endif
  return written ? kOk : kCannotWrite;
}
