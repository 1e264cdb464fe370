// maroquint-align: pairs the trigger onsets of an EEG recording with the
// markers of the same pulses and reports the mapping between the clocks.
// Four steps: parse the command line, read the inputs, align them, write
// what was found; each ends the tool, with its exit status, when it fails.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

#include "base/json.h"
#include "base/result.h"
#include "experiment.h"
#include "inputs.h"
#include "pairing.h"
#include "report.h"
#ifdef MAROQUINT_ALIGN_PLOT
#include "plot.h"
#endif

namespace {

using namespace maroquint;
using namespace maroquint::align;

// How the tool ends, each with its exit status (align/README.md).
enum class Ending {
  kAligned,
  kAnswered,     // --help, --version
  kCannotAlign,  // no onsets, no markers, too few pairs, no overlap, refused
  kBadInput,     // a file cannot be read, or lacks the channel or stream
  kAmbiguous,    // several pairings explain the recordings
  kUsage,        // a bad command line
  kCannotWrite,  // an output file cannot be written
};

int ExitStatus(Ending ending) {
  switch (ending) {
    case Ending::kAligned:
    case Ending::kAnswered:
      return 0;
    case Ending::kCannotAlign:
      return 1;
    case Ending::kBadInput:
      return 2;
    case Ending::kAmbiguous:
      return 3;
    case Ending::kUsage:
      return 64;  // EX_USAGE
    case Ending::kCannotWrite:
      return 74;  // EX_IOERR
  }
  return 1;
}

// Every way of reading an input fails as a bad input.
Ending EndingOf(InputError) {
  return Ending::kBadInput;
}

Ending EndingOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return Ending::kAligned;
    case Outcome::kAmbiguous:
      return Ending::kAmbiguous;
    default:
      return Ending::kCannotAlign;
  }
}

template <typename T>
using Step = base::Result<T, Ending>;

void Error(const std::string &message) {
  std::cerr << "maroquint-align: " << message << "\n";
}

// Each line of the failure's message (none for CLI11's own, which it has
// printed), then its status.
int Exit(const base::Error<Ending> &failure) {
  std::istringstream lines(failure.message);
  for (std::string line; std::getline(lines, line);) Error(line);
  return ExitStatus(failure.code);
}

std::string SystemReason() {
  return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
}

base::Status<Ending> WriteFile(const std::string &path, const std::string &content) {
  errno = 0;
  std::FILE *out = std::fopen(path.c_str(), "wb");
  bool written = out != nullptr;
  if (written) {
    written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    written = std::fclose(out) == 0 && written;
  }
  if (!written) {
    return base::Fail(Ending::kCannotWrite, path + ": cannot write the file" + SystemReason());
  }
  return {};
}

// Whether `path` can be written, tried before the work starts so that a
// typo in a folder's name is not found after minutes of reading. A file
// that was not there is not left behind: the ambiguous result writes no
// mapping, and a file that appears anyway could be taken for one.
base::Status<Ending> CanWrite(const std::string &option, const std::string &path) {
  std::error_code ignored;
  const bool existed = std::filesystem::exists(path, ignored);
  if (std::filesystem::is_directory(path, ignored)) {
    return base::Fail(Ending::kCannotWrite,
                      option + " " + path + ": a folder, where a file to write was expected");
  }
  errno = 0;
  std::FILE *probe = std::fopen(path.c_str(), "ab");
  if (probe == nullptr) {
    return base::Fail(Ending::kCannotWrite,
                      option + " " + path + ": cannot write the file" + SystemReason());
  }
  std::fclose(probe);
  if (!existed) std::remove(path.c_str());
  return {};
}

// What the command line asks for.
struct Request {
  std::string eeg_path;
  std::string marker_path;
  std::string channel = "Status";
  int bit = 0;
  std::string stream = "Maroquint";
  std::string eeg_stream;
  std::string first_pair;
  std::optional<double> offset;
  std::string csv_path;
  std::string json_path;
  std::string mapping_path;
  std::string plot_path;
  std::string events_path;
  std::vector<std::string> event_streams;
  std::uint64_t check_mask = 0;

  bool EegIsXdf() const { return IsXdf(eeg_path); }
  // An XDF file that holds both the EEG and the markers is read once.
  bool OneFile() const { return EegIsXdf() && marker_path == eeg_path; }
  bool WithEvents() const { return !events_path.empty(); }
};

// The options, into `r`; --check-bits and --offset as typed.
void DeclareOptions(CLI::App &app, Request &r, std::string &check_bits, double &offset) {
  app.add_option("EEG_FILE", r.eeg_path,
                 "the EEG recording: BDF or EDF; or an XDF file whose numeric stream holds the "
                 "trigger channel")
      ->required();
  app.add_option("MARKER_FILE", r.marker_path,
                 "the markers: an XDF file (LabRecorder, maroquint-monitor --xdf) or "
                 "maroquint-monitor's --csv output; defaults to EEG_FILE when that is XDF");
  app.add_option("--channel", r.channel,
                 "trigger channel: its label (or, in XDF, its number from 1)")
      ->capture_default_str();
  app.add_option("--bit", r.bit, "trigger bit of that channel, 0 = lowest")
      ->capture_default_str()
      ->check(CLI::Range(0, 62));
  app.add_option("--stream", r.stream, "name of the marker stream in the XDF file")
      ->capture_default_str();
  app.add_option("--eeg-stream", r.eeg_stream,
                 "name of the EEG stream when EEG_FILE is XDF (default: the first numeric stream "
                 "with the trigger channel)");
  auto *first_pair_option = app.add_option(
      "--first-pair", r.first_pair,
      "ONSET:MARKER (numbers from 1, as in --csv): these two are one pulse, when the recordings "
      "do not decide which pulse is which");
  app.add_option("--offset", offset,
                 "the LSL time of the EEG's first sample to within a quarter pulse period, "
                 "when the recordings do not decide it")
      ->excludes(first_pair_option);
  app.add_option("--csv", r.csv_path, "write the pairs and their residuals as CSV");
  app.add_option("--json", r.json_path, "write the result as JSON");
  app.add_option("--mapping", r.mapping_path,
                 "write a, b and the EEG rate as JSON: LSL time = a + b * sample_index / rate");
  app.add_option("--events", r.events_path,
                 "write the experiment's markers placed on the EEG samples as a BIDS events file "
                 "(.tsv) and its sidecar (.json)");
  app.add_option("--events-stream", r.event_streams,
                 "a marker stream of MARKER_FILE to take the events from (repeatable; default: "
                 "every marker stream but --stream)");
  app.add_option("--check-bits", check_bits,
                 "the trigger channel's bits (e.g. 0xFE) on which the experiment's triggers reach "
                 "the amplifier: each event is compared with its trigger");
#ifdef MAROQUINT_ALIGN_PLOT
  app.add_option("--plot", r.plot_path,
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
}

// What the options cannot check one by one, and every output tried.
Step<Request> CheckRequest(Request r, const std::string &check_bits) {
  if (r.marker_path.empty()) {
    if (!r.EegIsXdf()) {
      return base::Fail(Ending::kUsage, "MARKER_FILE is needed unless EEG_FILE is an XDF file");
    }
    r.marker_path = r.eeg_path;
  }
  if (!check_bits.empty()) {
    const auto mask = ParseMask(check_bits);
    if (!mask.Ok()) return base::Fail(Ending::kUsage, "--check-bits " + mask.Message());
    r.check_mask = *mask;
  }
  if (r.check_mask != 0 && !r.WithEvents()) {
    return base::Fail(Ending::kUsage, "--check-bits checks the events: it needs --events");
  }
  if ((r.check_mask >> r.bit) & 1) {
    return base::Fail(
        Ending::kUsage,
        "--check-bits " + check_bits + " holds the synchronization bit " + std::to_string(r.bit));
  }
  if ((r.WithEvents() || !r.event_streams.empty()) && !IsXdf(r.marker_path)) {
    return base::Fail(Ending::kUsage,
                      "--events takes the experiment's markers out of an XDF MARKER_FILE");
  }
  if (!r.event_streams.empty() && !r.WithEvents()) {
    return base::Fail(Ending::kUsage, "--events-stream needs --events");
  }
  const std::pair<const char *, const std::string *> outputs[] = {
      {"--csv", &r.csv_path},       {"--json", &r.json_path}, {"--mapping", &r.mapping_path},
      {"--events", &r.events_path}, {"--plot", &r.plot_path},
  };
  for (const auto &[option, path] : outputs) {
    if (path->empty()) continue;
    if (auto can = CanWrite(option, *path); !can.Ok()) return can.Err();
  }
  if (r.WithEvents()) {
    if (auto can = CanWrite("--events", SidecarPath(r.events_path)); !can.Ok()) return can.Err();
  }
  return r;
}

// The command line, checked, with every output tried.
Step<Request> ParseCommandLine(int argc, char **argv) {
  CLI::App app{
      "Pairs the trigger onsets of an EEG recording with the markers of the same pulses and "
      "measures the mapping between the two clocks: marker time = a + b * EEG time.",
      "maroquint-align"};
  Request r;
  std::string check_bits;
  double offset = 0;
  DeclareOptions(app, r, check_bits, offset);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success &e) {  // --help, --version
    app.exit(e);
    return base::Fail(Ending::kAnswered, "");
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return base::Fail(Ending::kUsage, "");
  }
  if (app.count("--offset") > 0) r.offset = offset;
  return CheckRequest(std::move(r), check_bits);
}

// What the inputs hold.
struct Inputs {
  EegTrigger trigger;
  MarkerTimes markers;
  std::vector<EventStream> events;
};

template <typename T>
Step<T> AsStep(base::Result<T, InputError> read) {
  if (!read.Ok()) return base::Fail(EndingOf(read.Code()), read.Message());
  return std::move(read).Value();
}

// The EEG's trigger, the markers and the experiment's events, with the
// files' warnings on standard error.
Step<Inputs> ReadInputs(const Request &r) {
  Inputs inputs;
  if (r.EegIsXdf()) {
    XdfRequest request;
    request.trigger = true;
    request.eeg_stream = r.eeg_stream;
    request.channel = r.channel;
    request.bit = r.bit;
    request.markers = r.OneFile();
    request.marker_stream = r.stream;
    request.check_mask = r.check_mask;
    request.events = r.OneFile() && r.WithEvents();
    request.event_streams = r.event_streams;
    auto read = AsStep(ReadXdfInputs(r.eeg_path, request));
    if (!read.Ok()) return read.Err();
    inputs.trigger = std::move(read->trigger);
    inputs.markers = std::move(read->markers);
    inputs.events = std::move(read->events);
  } else {
    auto read = AsStep(ReadEdfTrigger(r.eeg_path, r.channel, r.bit, r.check_mask));
    if (!read.Ok()) return read.Err();
    inputs.trigger = std::move(read).Value();
  }
  // Shown also when the markers then cannot be read.
  for (const FileWarning &w : inputs.trigger.warnings)
    Error("warning: " + r.eeg_path + ": " + FormatWarning(w));
  if (!r.OneFile() && r.WithEvents()) {
    XdfRequest request;
    request.markers = true;
    request.marker_stream = r.stream;
    request.events = true;
    request.event_streams = r.event_streams;
    auto read = AsStep(ReadXdfInputs(r.marker_path, request));
    if (!read.Ok()) return read.Err();
    inputs.markers = std::move(read->markers);
    inputs.events = std::move(read->events);
  } else if (!r.OneFile()) {
    auto read = AsStep(ReadMarkers(r.marker_path, r.stream));
    if (!read.Ok()) return read.Err();
    inputs.markers = std::move(read).Value();
  }
  for (const FileWarning &w : inputs.markers.warnings)
    Error("warning: " + r.marker_path + ": " + FormatWarning(w));
  return inputs;
}

// What the alignment found.
struct Analysis {
  std::vector<double> onsets;  // EEG seconds
  Alignment result;
  std::optional<Experiment> experiment;
};

// The pairing, the mapping and the experiment's events on it.
Step<Analysis> AlignRecordings(const Request &r, const Inputs &inputs) {
  const EegTrigger &trigger = inputs.trigger;
  const MarkerTimes &markers = inputs.markers;
  Recordings recordings;
  for (const std::int64_t sample : trigger.onsets) {
    recordings.onsets.push_back(static_cast<double>(sample) / trigger.rate);
  }
  // Streams of one XDF file share the recorder's clock: there, recordings
  // that do not overlap can be told apart from a failed pairing.
  if (trigger.has_span && !markers.times.empty() &&
      (markers.times.back() < trigger.first_time || markers.times.front() > trigger.last_time)) {
    return base::Fail(Ending::kCannotAlign, Describe(Outcome::kNoOverlap));
  }
  recordings.high_samples = trigger.high_samples;
  recordings.eeg_duration_s = static_cast<double>(trigger.samples) / trigger.rate;
  recordings.onset_stamps = trigger.onset_stamps;
  recordings.markers = markers.times;
  recordings.recorded_from = markers.recorded_from;
  recordings.recorded_to = markers.recorded_to;
  recordings.offset_se_s = markers.offset_se_s;
  recordings.offset_slope_se = markers.offset_slope_se;
  Options options;
  options.sample_period_s = 1 / trigger.rate;
  if (!r.first_pair.empty()) {
    std::size_t onset = 0, marker = 0;
    char end = 0;
    if (std::sscanf(r.first_pair.c_str(), "%zu:%zu%c", &onset, &marker, &end) != 2 || onset == 0 ||
        marker == 0 || onset > recordings.onsets.size() || marker > markers.times.size()) {
      return base::Fail(Ending::kUsage, "--first-pair " + r.first_pair +
                                            ": ONSET:MARKER, numbers from 1 up to the " +
                                            std::to_string(recordings.onsets.size()) +
                                            " onsets and " + std::to_string(markers.times.size()) +
                                            " markers");
    }
    options.first_pair = {{onset - 1, marker - 1}};
  }
  options.approximate_offset_s = r.offset;

  Analysis analysis;
  analysis.result = Align(recordings, options);
  if (analysis.result.outcome == Outcome::kOk) {
    analysis.experiment = PlaceExperiment(analysis.result, trigger.rate, trigger.samples,
                                          r.WithEvents() ? &inputs.events : nullptr,
                                          trigger.check_onsets, r.check_mask);
    for (std::string &w : ExperimentWarnings(*analysis.experiment)) {
      analysis.result.warnings.push_back(std::move(w));
    }
  }
  analysis.onsets = std::move(recordings.onsets);
  return analysis;
}

// The report on standard output, why it is no mapping on standard error,
// and the files asked for: every one is tried, and each that fails is
// named.
base::Status<Ending> WriteResults(const Request &r, const Inputs &inputs,
                                  const Analysis &analysis) {
  const Alignment &result = analysis.result;
  Sources sources;
  sources.eeg = inputs.trigger.description;
  sources.markers = inputs.markers.description;
  sources.rate = inputs.trigger.rate;
  sources.onset_times = &analysis.onsets;
  sources.marker_times = &inputs.markers.times;
  sources.channel = r.channel;
  sources.trigger_like_channels = inputs.trigger.trigger_like_channels;
  sources.file_warnings = inputs.trigger.warnings;
  if (r.marker_path != r.eeg_path) {
    sources.file_warnings.insert(sources.file_warnings.end(), inputs.markers.warnings.begin(),
                                 inputs.markers.warnings.end());
  }
  const bool aligned = result.outcome == Outcome::kOk;
  if (result.outcome != Outcome::kNoOnsets && result.outcome != Outcome::kNoMarkers) {
    std::cout << TextReport(result, sources);
  }
  if (!aligned) {
    Error(Headline(result, sources) + " (" + std::to_string(analysis.onsets.size()) + " onsets, " +
          std::to_string(inputs.markers.times.size()) + " markers, " +
          std::to_string(result.pairs.size()) + " pairs)");
  }
  std::string failures;
  auto note = [&failures](const base::Status<Ending> &written) {
    if (!written.Ok()) failures += (failures.empty() ? "" : "\n") + written.Message();
  };
  base::Json json = ResultJson(result, sources);
  if (analysis.experiment) {
    const Experiment &experiment = *analysis.experiment;
    std::cout << ExperimentReport(experiment, r.events_path);
    json.update(ExperimentJson(experiment, r.events_path));
    if (!r.csv_path.empty()) note(WriteFile(r.csv_path, PairsCsv(result, sources.rate)));
    if (!r.mapping_path.empty()) {
      note(WriteFile(r.mapping_path, base::WriteJson(MappingFileJson(experiment.mapping))));
    }
    if (r.WithEvents()) {
      note(WriteFile(r.events_path, EventsTsv(experiment.events, inputs.events)));
      note(WriteFile(SidecarPath(r.events_path),
                     base::WriteJson(EventsSidecarJson(experiment.mapping))));
    }
  } else if (r.WithEvents()) {
    const std::string why = "no events file written: the result is " + Status(result.outcome);
    std::cout << "events:  " << why << "\n";
    Error(why);
    json.update(NoEventsJson(r.events_path, why));
  }
  if (!r.json_path.empty()) note(WriteFile(r.json_path, base::WriteJson(json)));
#ifdef MAROQUINT_ALIGN_PLOT
  if (aligned && !r.plot_path.empty()) {
    const PlotAnnotations annotations{Interval{result.a_ci95[0], result.a_ci95[1]},
                                      Interval{result.drift_ci95_ppm[0], result.drift_ci95_ppm[1]},
                                      result.warnings};
    const auto drawn = PlotResiduals(result, sources, annotations, r.plot_path);
    if (!drawn.Ok()) failures += (failures.empty() ? "" : "\n") + drawn.Message();
  }
#endif
  if (!failures.empty()) return base::Fail(Ending::kCannotWrite, failures);
  return {};
}

}  // namespace

int main(int argc, char **argv) {
  const auto request = ParseCommandLine(argc, argv);
  if (!request.Ok()) return Exit(request.Err());
  const auto inputs = ReadInputs(*request);
  if (!inputs.Ok()) return Exit(inputs.Err());
  const auto analysis = AlignRecordings(*request, *inputs);
  if (!analysis.Ok()) return Exit(analysis.Err());
  const auto written = WriteResults(*request, *inputs, *analysis);
  if (!written.Ok()) return Exit(written.Err());
  return ExitStatus(EndingOf(analysis->result.outcome));
}
