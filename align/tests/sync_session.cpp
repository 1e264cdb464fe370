#include "sync_session.h"

#include <edflib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "child_process.h"
#include "clock_sync.h"
#include "device_gate.h"
#include "reader.h"
#include "writer.h"

namespace maroquint::align::session {
namespace {

using harness::ChildProcess;

// What the monitor prints once it is connected to the stream.
constexpr char kWatching[] = "Watching \"Maroquint\"";
// The amplifier records this long before the first pulse (a hold after the
// gate, which races nothing), as a lab starts its recording before the
// program pulses: the EEG's silent start then shows that no pulse came
// before its first onset, and its last whole second holds the last pulse.
constexpr double kLeadInSeconds = 2.75;
// The monitor's search for the stream, and how long it waits for a lost one.
constexpr double kMonitorTimeout = 30;

bool ReadTruth(const std::string &path, Truth &truth) {
  std::istringstream in(ReadFile(path));
  std::string key;
  while (in >> key) {
    if (key[0] == '#') {
      std::getline(in, key);
      continue;
    }
    double value = 0;
    in >> value;
    if (key == "t0") truth.t0 = value;
    if (key == "rate") truth.rate = value;
    if (key == "drift_ppm") truth.drift_ppm = value;
    if (key == "edge") truth.edges.push_back(value);
  }
  return truth.rate > 0 && !truth.edges.empty();
}

std::string Seconds(double seconds) {
  std::ostringstream text;
  text.precision(17);
  text << seconds;
  return text.str();
}

std::unique_ptr<ChildProcess> StartMonitor(const std::vector<std::string> &arguments) {
  std::vector<std::string> all = {"--name", "Maroquint", "--timeout", Seconds(kMonitorTimeout)};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return std::make_unique<ChildProcess>(MAROQUINT_MONITOR, all);
}

// The recording monitor's end: after its markers, or some seconds after the
// run's last pulse, counted from when it starts watching.
std::vector<std::string> MonitorEnd(const Config &config, double seconds_left) {
  if (config.markers_count > 0) return {"--count", std::to_string(config.markers_count)};
  return {"--duration", Seconds(seconds_left + 5)};
}

// The EEG channels and the Status channel of a BDF file, as the amplifier's
// LSL outlet would send them: the EEG in microvolts, Status as its number.
struct Channels {
  std::vector<std::string> labels;
  std::vector<std::vector<double>> values;
};

bool ReadBdf(const std::string &path, Channels &channels, std::string &problem) {
  auto header = std::make_unique<edf_hdr_struct>();
  if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
    problem = path + " cannot be read with EDFlib";
    return false;
  }
  const int handle = header->handle;
  for (int s = 0; s < header->edfsignals; ++s) {
    std::string label = header->signalparam[s].label;
    label.erase(label.find_last_not_of(' ') + 1);
    const auto count = static_cast<int>(header->signalparam[s].smp_in_file);
    std::vector<double> values(static_cast<std::size_t>(count));
    int read = 0;
    if (label == "Status") {
      std::vector<int> digital(values.size());
      read = edfread_digital_samples(handle, s, count, digital.data());
      std::copy(digital.begin(), digital.end(), values.begin());
    } else {
      read = edfread_physical_samples(handle, s, count, values.data());
    }
    if (read != count) {
      edfclose_file(handle);
      problem = path + ": signal " + label + " reads short";
      return false;
    }
    channels.labels.push_back(label);
    channels.values.push_back(std::move(values));
  }
  edfclose_file(handle);
  if (channels.labels.empty()) {
    problem = path + " has no signals";
    return false;
  }
  return true;
}

std::string EegStreamXml(const Channels &channels, double rate) {
  std::string xml =
      "<?xml version=\"1.0\"?>\n<info><name>BioSemi</name><type>EEG</type><channel_count>" +
      std::to_string(channels.labels.size()) +
      "</channel_count><channel_format>double64</channel_format><source_id>simdaq-amplifier</"
      "source_id><nominal_srate>" +
      xdf::FormatDouble(rate) +
      "</nominal_srate><version>1.1</version><hostname>localhost</hostname><desc><channels>";
  for (const std::string &label : channels.labels) {
    const bool status = label == "Status";
    xml += "<channel><label>" + label + "</label><unit>" + (status ? "" : "microvolts") +
           "</unit><type>" + (status ? "Trigger" : "EEG") + "</type></channel>";
  }
  return xml + "</channels></desc></info>";
}

// One XDF file as LabRecorder writes it when it records the amplifier's LSL
// stream beside the markers: the EEG stream (stamps = the samples' true LSL
// times plus the transport's latency and a little jitter, on the
// recorder's own clock, so its clock offsets are 0) and the marker stream
// as the monitor recorded it (header, samples, clock offsets).
bool WriteEegXdf(const Result &result, const xdf::Stream &markers, std::string &problem) {
  Channels channels;
  if (!ReadBdf(result.bdf, channels, problem)) return false;
  const std::size_t count = channels.values.front().size();
  const double period = 1 / (result.truth.rate * (1 + result.truth.drift_ppm * 1e-6));
  std::mt19937_64 random(20261208);
  std::normal_distribution<double> jitter(0, 20e-6);

  constexpr std::uint32_t kEeg = 1;
  constexpr std::uint32_t kMarkers = 2;
  std::string file = xdf::FileHeader();
  file += xdf::StreamHeader(kEeg, EegStreamXml(channels, result.truth.rate));
  file += xdf::StreamHeader(kMarkers, markers.header_xml);
  xdf::FooterInfo eeg_footer;
  eeg_footer.sample_count = count;
  const auto chunk = static_cast<std::size_t>(result.truth.rate);
  for (std::size_t first = 0; first < count; first += chunk) {
    xdf::NumericSamples samples;
    samples.format = xdf::ChannelFormat::kDouble64;
    samples.channel_count = static_cast<int>(channels.labels.size());
    for (std::size_t n = first; n < std::min(count, first + chunk); ++n) {
      const double stamp =
          result.truth.t0 + static_cast<double>(n) * period + kEegStreamLatency + jitter(random);
      samples.time_stamps.push_back(stamp);
      for (const auto &channel : channels.values) samples.values.push_back(channel[n]);
      if (n == 0) eeg_footer.first_timestamp = stamp;
      eeg_footer.last_timestamp = stamp;
    }
    file += xdf::NumericSamplesChunk(kEeg, samples);
    const double collected = *samples.time_stamps.back();
    file += xdf::ClockOffset(kEeg, collected, 0);
    eeg_footer.clock_offsets.push_back({collected, 0});
    file += xdf::Boundary();
  }

  std::vector<xdf::StringSample> marker_samples;
  const auto width = static_cast<std::size_t>(std::max(markers.info.channel_count, 1));
  for (std::size_t i = 0; i < markers.SampleCount(); ++i) {
    xdf::StringSample sample;
    sample.time_stamp = markers.time_stamps[i];
    for (std::size_t c = 0; c < width && i * width + c < markers.strings.size(); ++c)
      sample.values.push_back(markers.strings[i * width + c]);
    marker_samples.push_back(std::move(sample));
  }
  xdf::FooterInfo marker_footer;
  marker_footer.sample_count = markers.SampleCount();
  if (!markers.time_stamps.empty()) {
    marker_footer.first_timestamp = markers.time_stamps.front();
    marker_footer.last_timestamp = markers.time_stamps.back();
  }
  if (!marker_samples.empty()) file += xdf::StringSamplesChunk(kMarkers, marker_samples);
  for (const auto &offset : markers.clock_offsets) {
    file += xdf::ClockOffset(kMarkers, offset.collection_time, offset.value);
    marker_footer.clock_offsets.push_back({offset.collection_time, offset.value});
  }
  file += xdf::StreamFooter(kEeg, eeg_footer);
  file += xdf::StreamFooter(kMarkers, marker_footer);

  std::ofstream out(result.eeg_xdf, std::ios::binary);
  out << file;
  if (!out.flush()) {
    problem = result.eeg_xdf + " cannot be written";
    return false;
  }
  return true;
}

// The JSON value that starts at `at` (blanks before it skipped).
std::string ValueAt(const std::string &json, std::size_t at) {
  while (at < json.size() && std::isspace(static_cast<unsigned char>(json[at]))) ++at;
  int depth = 0;
  bool in_string = false;
  std::size_t end = at;
  for (; end < json.size(); ++end) {
    const char c = json[end];
    if (in_string) {
      if (c == '\\') {
        ++end;
      } else if (c == '"') {
        in_string = false;
        if (depth == 0) return json.substr(at, end - at + 1);
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0) break;
      if (--depth == 0) return json.substr(at, end - at + 1);
    } else if (c == ',' && depth == 0) {
      break;
    }
  }
  std::string value = json.substr(at, end - at);
  value.erase(value.find_last_not_of(" \t\r\n") + 1);
  return value;
}

// Where the value of the n-th "key": (from `from` on) starts, or npos.
std::size_t ValueStart(const std::string &json, const std::string &key, std::size_t &from) {
  const std::string quoted = "\"" + key + "\"";
  while (true) {
    const std::size_t at = json.find(quoted, from);
    if (at == std::string::npos) return at;
    from = at + quoted.size();
    std::size_t colon = from;
    while (colon < json.size() && std::isspace(static_cast<unsigned char>(json[colon]))) ++colon;
    if (colon < json.size() && json[colon] == ':') return colon + 1;
  }
}

double ParseNumber(const std::string &text) {
  if (text.empty()) return NAN;
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end == text.c_str() ? NAN : value;
}

}  // namespace

bool Record(const Config &config, Result &result, std::string &problem) {
  result.bdf = config.dir + "/eeg.bdf";
  result.truth_path = config.dir + "/truth.txt";
  result.xdf = config.dir + "/markers.xdf";
  result.json = config.dir + "/align.json";

  // A monitor started before the program finds the stream when the program
  // declares it, and the device's gate holds the program's start until the
  // monitor watches, so that it records every marker; the first pulse comes
  // kLeadInSeconds after the start. A monitor
  // that starts later waits for a watching one to have seen its pulses. The
  // program's run ends half a second after its last pulse (a read error
  // injected after `seconds` of samples at 10 kHz); its tasks are then
  // cleared, which ends the BDF file.
  std::unique_ptr<ChildProcess> monitor, watcher;
  const double run_seconds = config.seconds + kLeadInSeconds + 0.5;
  if (config.markers_after > 0) {
    watcher = StartMonitor({"--quiet", "--count", std::to_string(config.markers_after)});
  } else {
    std::vector<std::string> arguments = MonitorEnd(config, run_seconds);
    arguments.insert(arguments.end(), {"--xdf", result.xdf});
    monitor = StartMonitor(arguments);
  }
  if (!(watcher ? watcher : monitor)->Started()) {
    problem = "maroquint-monitor did not start";
    return false;
  }
  const long last_sample = std::lround(config.seconds * 10000) + 5000;
  harness::DeviceGate gate;
  std::string settings = "SIMDAQ=clock=realtime;wire=connected;" + gate.Setting() +
                         ";hold=" + Seconds(kLeadInSeconds) + ";amplifier=" + result.bdf +
                         ";amplifier_rate=" + std::to_string(config.rate) +
                         ";amplifier_drift=" + Seconds(config.drift_ppm) +
                         ";amplifier_truth=" + result.truth_path + ";fault=DAQmxReadAnalogF64@" +
                         std::to_string(last_sample) + ":-200284";
  // The amplifier's window counts from the input task's start, after the
  // gate, the lead-in included.
  if (config.amplifier_from)
    settings += ";amplifier_start=" + Seconds(kLeadInSeconds + *config.amplifier_from);
  if (config.amplifier_to)
    settings += ";amplifier_stop=" + Seconds(kLeadInSeconds + *config.amplifier_to);
  for (const Cut &cut : config.cuts)
    settings += ";cut=" + std::to_string(cut.from) + "-" + std::to_string(cut.to);
  {
    ChildProcess program(MAROQUINT_PROGRAM, {}, {settings});
    if (!program.Started()) {
      problem = "the program did not start";
      return false;
    }
    ChildProcess &first = watcher ? *watcher : *monitor;
    if (!first.ReadUntil(kWatching, kMonitorTimeout + 60)) {
      problem = "maroquint-monitor did not find the stream: " + first.Output();
      return false;
    }
    if (!gate.Release()) {
      problem = "the device's gate cannot be opened";
      return false;
    }
    if (watcher) {
      if (!watcher->Wait(run_seconds + 60)) {
        problem = "maroquint-monitor did not see " + std::to_string(config.markers_after) +
                  " markers: " + watcher->Output();
        return false;
      }
      std::vector<std::string> arguments =
          MonitorEnd(config, run_seconds - kLeadInSeconds - config.markers_after);
      arguments.insert(arguments.end(), {"--xdf", result.xdf});
      monitor = StartMonitor(arguments);
      if (!monitor->Started()) {
        problem = "the recording maroquint-monitor did not start";
        return false;
      }
    }
    if (!program.ReadUntil("End of program", run_seconds + 60)) {
      problem = "the program did not run to its end: " + program.Output();
      return false;
    }
    program.CloseInput();
    // It ends with its failure status, as after any device error.
    if (!program.Wait(30)) {
      problem = "the program did not exit: " + program.Output();
      return false;
    }
  }
  if (!monitor->Wait(run_seconds + kMonitorTimeout + 60)) {
    problem = "maroquint-monitor did not end";
    return false;
  }
  if (!ReadTruth(result.truth_path, result.truth)) {
    problem = "no truth in " + result.truth_path;
    return false;
  }
  const xdf::File file = xdf::Read(ReadFile(result.xdf));
  const xdf::Stream *stream = file.FindByName("Maroquint");
  if (stream == nullptr) {
    problem = "no marker stream in " + result.xdf + ": " + monitor->Output();
    return false;
  }
  result.marker_times = xdf::SynchronizedTimeStamps(*stream);
  if (config.eeg_xdf) {
    result.eeg_xdf = config.dir + "/eeg_and_markers.xdf";
    if (!WriteEegXdf(result, *stream, problem)) return false;
  }

  result.align_status = Align({result.bdf, result.xdf, "--json", result.json}, result.align_output);
  return true;
}

std::optional<int> Align(const std::vector<std::string> &arguments, std::string &output) {
  ChildProcess align(MAROQUINT_ALIGN, arguments);
  const std::optional<int> status = align.Wait(120);
  output = align.Output();
  return status;
}

std::string JsonValue(const std::string &json, const std::string &key) {
  std::size_t from = 0;
  const std::size_t at = ValueStart(json, key, from);
  return at == std::string::npos ? std::string() : ValueAt(json, at);
}

double JsonNumber(const std::string &json, const std::string &key) {
  return ParseNumber(JsonValue(json, key));
}

std::vector<double> JsonNumbers(const std::string &json, const std::string &key) {
  std::vector<double> numbers;
  std::size_t from = 0;
  for (std::size_t at; (at = ValueStart(json, key, from)) != std::string::npos;)
    numbers.push_back(ParseNumber(ValueAt(json, at)));
  return numbers;
}

std::vector<double> JsonNumberArray(const std::string &json, const std::string &key) {
  const std::string array = JsonValue(json, key);
  std::vector<double> numbers;
  if (array.size() < 2 || array.front() != '[') return numbers;
  std::istringstream items(array.substr(1, array.size() - 2));
  for (std::string item; std::getline(items, item, ',');) {
    if (item.find_first_not_of(" \t\r\n") != std::string::npos)
      numbers.push_back(ParseNumber(item));
  }
  return numbers;
}

std::size_t JsonArrayLength(const std::string &json, const std::string &key) {
  return JsonNumberArray(json, key).size();
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<double> StampErrors(const Result &result) {
  std::vector<double> errors;
  const std::vector<double> &edges = result.truth.edges;
  if (edges.empty()) return errors;
  for (double stamp : result.marker_times) {
    if (stamp < edges.front() - 0.5 || stamp > edges.back() + 0.5) continue;
    const auto it = std::lower_bound(edges.begin(), edges.end(), stamp);
    double best = INFINITY;
    if (it != edges.end()) best = *it - stamp;
    if (it != edges.begin() && std::fabs(stamp - *(it - 1)) < std::fabs(best)) {
      best = *(it - 1) - stamp;
    }
    errors.push_back(-best);
  }
  return errors;
}

}  // namespace maroquint::align::session
