// maroquint-align: pairs the trigger onsets of an EEG recording with the
// markers of the same pulses and reports the mapping between the clocks.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "experiment.h"
#include "inputs.h"
#include "pairing.h"
#include "report.h"
#ifdef MAROQUINT_ALIGN_PLOT
#include "plot.h"
#endif

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kCannotAlign = 1;   // no onsets, no markers, too few pairs, no overlap, refused
constexpr int kBadInput = 2;      // a file cannot be read, or lacks the channel or stream
constexpr int kAmbiguous = 3;     // several pairings explain the recordings
constexpr int kUsage = 64;        // EX_USAGE
constexpr int kCannotWrite = 74;  // EX_IOERR

void Error(const std::string &message) {
  std::cerr << "maroquint-align: " << message << "\n";
}

std::string SystemReason() {
  return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
}

bool WriteFile(const std::string &path, const std::string &content) {
  errno = 0;
  std::FILE *out = std::fopen(path.c_str(), "wb");
  bool written = out != nullptr;
  if (written) {
    written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    written = std::fclose(out) == 0 && written;
  }
  if (!written) Error(path + ": cannot write the file" + SystemReason());
  return written;
}

// Whether `path` can be written, tried before the work starts so that a
// typo in a folder's name is not found after minutes of reading. A file
// that was not there is not left behind: the ambiguous result writes no
// mapping, and a file that appears anyway could be taken for one.
bool CanWrite(const std::string &option, const std::string &path) {
  std::error_code ignored;
  const bool existed = std::filesystem::exists(path, ignored);
  if (std::filesystem::is_directory(path, ignored)) {
    Error(option + " " + path + ": a folder, where a file to write was expected");
    return false;
  }
  errno = 0;
  std::FILE *probe = std::fopen(path.c_str(), "ab");
  if (probe == nullptr) {
    Error(option + " " + path + ": cannot write the file" + SystemReason());
    return false;
  }
  std::fclose(probe);
  if (!existed) std::remove(path.c_str());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace maroquint;
  using namespace maroquint::align;
  CLI::App app{
      "Pairs the trigger onsets of an EEG recording with the markers of the same pulses and "
      "measures the mapping between the two clocks: marker time = a + b * EEG time.",
      "maroquint-align"};
  std::string eeg_path, marker_path, channel = "Status", stream = "Maroquint", eeg_stream;
  std::string csv_path, plot_path, json_path, mapping_path, first_pair, events_path, check_bits;
  std::vector<std::string> event_streams;
  int bit = 0;
  double offset = 0;
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
  auto *first_pair_option = app.add_option(
      "--first-pair", first_pair,
      "ONSET:MARKER (numbers from 1, as in --csv): these two are one pulse, when the recordings "
      "do not decide which pulse is which");
  app.add_option("--offset", offset,
                 "the LSL time of the EEG's first sample to within a quarter pulse period, "
                 "when the recordings do not decide it")
      ->excludes(first_pair_option);
  app.add_option("--csv", csv_path, "write the pairs and their residuals as CSV");
  app.add_option("--json", json_path, "write the result as JSON");
  app.add_option("--mapping", mapping_path,
                 "write a, b and the EEG rate as JSON: LSL time = a + b * sample_index / rate");
  app.add_option("--events", events_path,
                 "write the experiment's markers placed on the EEG samples as a BIDS events file "
                 "(.tsv) and its sidecar (.json)");
  app.add_option("--events-stream", event_streams,
                 "a marker stream of MARKER_FILE to take the events from (repeatable; default: "
                 "every marker stream but --stream)");
  app.add_option("--check-bits", check_bits,
                 "the trigger channel's bits (e.g. 0xFE) on which the experiment's triggers reach "
                 "the amplifier: each event is compared with its trigger");
#ifdef MAROQUINT_ALIGN_PLOT
  app.add_option("--plot", plot_path,
                 "draw the residuals over time and their histogram (.svg, .png)");
#endif
  app.footer(
      "Exit status: 0 aligned; 1 cannot align (no onsets or markers, too few pairs, no overlap, "
      "a --first-pair or --offset that does not fit) or refused (not one pulse train: wrong "
      "channel, markers of another run, drift beyond 1000 ppm, residuals beyond 5 ms); 2 an "
      "input cannot be read or lacks the channel or stream; 3 ambiguous: several pairings whole "
      "periods apart explain the recordings (the candidates are listed, no --mapping is "
      "written); 64 bad command line; 74 an output cannot be written.");
  app.set_version_flag("--version", "maroquint-align " MAROQUINT_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success &e) {  // --help, --version
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
  const bool with_events = !events_path.empty();
  std::uint64_t check_mask = 0;
  if (!check_bits.empty() && !ParseMask(check_bits, check_mask)) {
    Error("--check-bits " + check_bits + ": a mask of bits, decimal or 0x hexadecimal, not 0");
    return kUsage;
  }
  if (check_mask != 0 && !with_events) {
    Error("--check-bits checks the events: it needs --events");
    return kUsage;
  }
  if ((check_mask >> bit) & 1) {
    Error("--check-bits " + check_bits + " holds the synchronization bit " + std::to_string(bit));
    return kUsage;
  }
  if ((with_events || !event_streams.empty()) && !IsXdf(marker_path)) {
    Error("--events takes the experiment's markers out of an XDF MARKER_FILE");
    return kUsage;
  }
  if (!event_streams.empty() && !with_events) {
    Error("--events-stream needs --events");
    return kUsage;
  }
  const std::pair<const char *, const std::string *> outputs[] = {
      {"--csv", &csv_path},       {"--json", &json_path}, {"--mapping", &mapping_path},
      {"--events", &events_path}, {"--plot", &plot_path},
  };
  for (const auto &[option, path] : outputs) {
    if (!path->empty() && !CanWrite(option, *path)) return kCannotWrite;
  }
  if (with_events && !CanWrite("--events", SidecarPath(events_path))) return kCannotWrite;
  EegTrigger trigger;
  MarkerTimes markers;
  std::vector<EventStream> events;
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
    request.check_mask = check_mask;
    request.events = one_file && with_events;
    request.event_streams = event_streams;
    read = ReadXdfInputs(eeg_path, request, trigger, markers, events, error);
  } else {
    read = ReadEdfTrigger(eeg_path, channel, bit, trigger, error, check_mask);
  }
  if (read && !one_file && with_events) {
    XdfRequest request;
    request.markers = true;
    request.marker_stream = stream;
    request.events = true;
    request.event_streams = event_streams;
    read = ReadXdfInputs(marker_path, request, trigger, markers, events, error);
  } else if (read && !one_file) {
    read = ReadMarkers(marker_path, stream, markers, error);
  }
  for (const FileWarning &w : trigger.warnings)
    Error("warning: " + eeg_path + ": " + FormatWarning(w));
  for (const FileWarning &w : markers.warnings)
    Error("warning: " + marker_path + ": " + FormatWarning(w));
  if (!read) {
    Error(error);
    return kBadInput;
  }

  Recordings recordings;
  for (const std::int64_t sample : trigger.onsets) {
    recordings.onsets.push_back(sample / trigger.rate);
  }
  // Streams of one XDF file share the recorder's clock: there, recordings
  // that do not overlap can be told apart from a failed pairing.
  if (trigger.has_span && !markers.times.empty() &&
      (markers.times.back() < trigger.first_time || markers.times.front() > trigger.last_time)) {
    Error(Describe(Outcome::kNoOverlap));
    return kCannotAlign;
  }
  recordings.high_samples = trigger.high_samples;
  recordings.eeg_duration_s = trigger.samples / trigger.rate;
  recordings.onset_stamps = trigger.onset_stamps;
  recordings.markers = markers.times;
  recordings.recorded_from = markers.recorded_from;
  recordings.recorded_to = markers.recorded_to;
  recordings.offset_se_s = markers.offset_se_s;
  recordings.offset_slope_se = markers.offset_slope_se;
  Options options;
  options.sample_period_s = 1 / trigger.rate;
  if (!first_pair.empty()) {
    std::size_t onset = 0, marker = 0;
    char end = 0;
    if (std::sscanf(first_pair.c_str(), "%zu:%zu%c", &onset, &marker, &end) != 2 || onset == 0 ||
        marker == 0 || onset > recordings.onsets.size() || marker > markers.times.size()) {
      Error("--first-pair " + first_pair + ": ONSET:MARKER, numbers from 1 up to the " +
            std::to_string(recordings.onsets.size()) + " onsets and " +
            std::to_string(markers.times.size()) + " markers");
      return kUsage;
    }
    options.first_pair = {{onset - 1, marker - 1}};
  }
  if (app.count("--offset") > 0) options.approximate_offset_s = offset;

  Alignment result = Align(recordings, options);
  std::optional<Experiment> experiment;
  if (result.outcome == Outcome::kOk) {
    experiment = PlaceExperiment(result, trigger.rate, trigger.samples,
                                 with_events ? &events : nullptr, trigger.check_onsets, check_mask);
    for (std::string &w : ExperimentWarnings(*experiment)) result.warnings.push_back(std::move(w));
  }
  Sources sources;
  sources.eeg = trigger.description;
  sources.markers = markers.description;
  sources.rate = trigger.rate;
  sources.onset_times = &recordings.onsets;
  sources.marker_times = &markers.times;
  sources.channel = channel;
  sources.trigger_like_channels = trigger.trigger_like_channels;
  sources.file_warnings = trigger.warnings;
  if (marker_path != eeg_path) {
    sources.file_warnings.insert(sources.file_warnings.end(), markers.warnings.begin(),
                                 markers.warnings.end());
  }
  const bool aligned = result.outcome == Outcome::kOk;
  if (result.outcome != Outcome::kNoOnsets && result.outcome != Outcome::kNoMarkers) {
    std::cout << TextReport(result, sources);
  }
  if (!aligned) {
    Error(Headline(result, sources) + " (" + std::to_string(recordings.onsets.size()) +
          " onsets, " + std::to_string(markers.times.size()) + " markers, " +
          std::to_string(result.pairs.size()) + " pairs)");
  }
  bool written = true;
  base::Json json = ResultJson(result, sources);
  if (experiment) {
    std::cout << ExperimentReport(*experiment, events_path);
    json.update(ExperimentJson(*experiment, events_path));
    if (!csv_path.empty()) written &= WriteFile(csv_path, PairsCsv(result, trigger.rate));
    if (!mapping_path.empty()) {
      written &= WriteFile(mapping_path, base::WriteJson(MappingFileJson(experiment->mapping)));
    }
    if (with_events) {
      written &= WriteFile(events_path, EventsTsv(experiment->events, events));
      written &= WriteFile(SidecarPath(events_path),
                           base::WriteJson(EventsSidecarJson(experiment->mapping)));
    }
  } else if (with_events) {
    const std::string why = "no events file written: the result is " + Status(result.outcome);
    std::cout << "events:  " << why << "\n";
    Error(why);
    json.update(NoEventsJson(events_path, why));
  }
  if (!json_path.empty()) {
    written &= WriteFile(json_path, base::WriteJson(json));
  }
#ifdef MAROQUINT_ALIGN_PLOT
  if (aligned && !plot_path.empty()) {
    const PlotAnnotations annotations{Interval{result.a_ci95[0], result.a_ci95[1]},
                                      Interval{result.drift_ci95_ppm[0], result.drift_ci95_ppm[1]},
                                      result.warnings};
    if (!PlotResiduals(result, sources, annotations, plot_path, error)) {
      Error(error);
      written = false;
    }
  }
#endif
  if (!written) return kCannotWrite;
  if (result.outcome == Outcome::kAmbiguous) return kAmbiguous;
  return aligned ? kOk : kCannotAlign;
}
