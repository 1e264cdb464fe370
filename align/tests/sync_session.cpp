#include "sync_session.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"
#include "clock_sync.h"
#include "reader.h"

namespace maroquint::align::session {
namespace {

using harness::ChildProcess;

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ReadTruth(const std::string &path, Truth &truth) {
  std::istringstream in(Slurp(path));
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

}  // namespace

bool Record(const Config &config, Result &result, std::string &problem) {
  result.bdf = config.dir + "/eeg.bdf";
  result.truth_path = config.dir + "/truth.txt";
  result.xdf = config.dir + "/markers.xdf";
  result.json = config.dir + "/align.json";

  // Pulses a second apart pair as well one period off as rightly unless
  // both files hold every pulse. The monitor waits for the stream before
  // the program starts, and the program holds its first write for
  // kHoldSeconds, so that the monitor records every marker; the BDF file
  // ends with its last whole second, and the run ends half a second after
  // the last pulse, so with the hold's three quarters of a second the file
  // holds the last pulse too. The monitor records until some seconds after
  // the program's last pulse.
  constexpr double kHoldSeconds = 2.75;
  const double monitor_seconds = config.seconds + kHoldSeconds + 5;
  ChildProcess monitor(MAROQUINT_MONITOR,
                       {"--name", "Maroquint", "--timeout", "30", "--duration",
                        std::to_string(monitor_seconds), "--xdf", result.xdf},
                       {});
  if (!monitor.Started()) {
    problem = "maroquint-monitor did not start";
    return false;
  }
  // The program's run ends with a read error injected after `seconds` of
  // samples at 10 kHz; its tasks are then cleared, which closes the BDF file.
  const long last_sample = std::lround(config.seconds * 10000) + 5000;
  const std::string settings =
      "SIMDAQ=clock=realtime;wire=connected;hold=" + std::to_string(kHoldSeconds) +
      ";amplifier=" + result.bdf + ";amplifier_rate=" + std::to_string(config.rate) +
      ";amplifier_drift=" + std::to_string(config.drift_ppm) +
      ";amplifier_truth=" + result.truth_path + ";fault=DAQmxReadAnalogF64@" +
      std::to_string(last_sample) + ":-200284";
  {
    ChildProcess program(MAROQUINT_PROGRAM, {}, {settings});
    if (!program.Started() ||
        !program.ReadUntil("End of program", config.seconds + kHoldSeconds + 60)) {
      problem = "the program did not run to its end: " + program.Output();
      return false;
    }
    program.CloseInput();
    // It ends with its failure status, as after any device error.
    if (program.Wait(30) < 0) {
      problem = "the program did not exit: " + program.Output();
      return false;
    }
  }
  if (monitor.Wait(monitor_seconds + 60) < 0) {
    problem = "maroquint-monitor did not end";
    return false;
  }
  if (!ReadTruth(result.truth_path, result.truth)) {
    problem = "no truth in " + result.truth_path;
    return false;
  }
  const xdf::File file = xdf::Read(Slurp(result.xdf));
  const xdf::Stream *stream = file.FindByName("Maroquint");
  if (stream == nullptr) {
    problem = "no marker stream in " + result.xdf;
    return false;
  }
  result.marker_times = xdf::SynchronizedTimeStamps(*stream);

  ChildProcess align(MAROQUINT_ALIGN, {result.bdf, result.xdf, "--json", result.json}, {});
  result.align_status = align.Wait(120);
  result.align_output = align.Output();
  return true;
}

double JsonNumber(const std::string &json, const std::string &key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return NAN;
  return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

std::size_t JsonArrayLength(const std::string &json, const std::string &key) {
  const std::size_t at = json.find("\"" + key + "\": [");
  if (at == std::string::npos) return 0;
  const std::size_t end = json.find(']', at);
  const std::string items = json.substr(at + key.size() + 5, end - at - key.size() - 5);
  return items.empty() ? 0 : std::count(items.begin(), items.end(), ',') + 1;
}

std::vector<double> StampErrors(const Result &result) {
  std::vector<double> errors;
  const std::vector<double> &edges = result.truth.edges;
  for (double stamp : result.marker_times) {
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
