// How close the program's markers come to the true edges of its pulses, and
// how well maroquint-align recovers the amplifier's clock from real-time
// runs on the simulated device, beside the truth the simulated amplifier
// writes: per session the errors of the offset and the drift and whether
// the truth lies inside the tool's 95 % intervals; then the mean drift
// error with its standard error, and how often the intervals held the
// truth. Where maroquint-align cannot tell which pulse is which, it runs
// again with --offset from the truth, which picks the candidate and leaves
// the fit its own. A measurement, not a test: a busy machine shows larger
// figures.
//
// Usage: align_session [seconds [amplifier_rate [drift_ppm [sessions]]]]
//        (defaults 60, 2048, 50, 10; run through tools/netns-run)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/json.h"
#include "base/stats.h"
#include "base/text.h"
#include "child_process.h"
#include "sync_session.h"

namespace {

using namespace maroquint::align::session;

// maroquint-align's status when several pairings explain the recordings.
constexpr int kAmbiguous = 3;

struct Interval {
  double low = 0;
  double high = 0;
  bool Holds(double value) const { return low <= value && value <= high; }
};

// The [low, high] of `key` in maroquint-align's JSON; empty when the key
// is absent or null.
std::optional<Interval> JsonInterval(const maroquint::base::Json &json, const char *key) {
  const auto found = json.find(key);
  if (found == json.end() || !found->is_array() || found->size() != 2) return std::nullopt;
  return Interval{(*found)[0].get<double>(), (*found)[1].get<double>()};
}

// A number of maroquint-align's JSON; NaN when absent or null.
double JsonDouble(const maroquint::base::Json &json, const char *key) {
  const auto found = json.find(key);
  return found != json.end() && found->is_number() ? found->get<double>() : NAN;
}

std::string Inside(const std::optional<Interval> &interval, double truth) {
  if (!interval) return "no interval";
  return interval->Holds(truth) ? "inside" : "OUTSIDE";
}

struct Session {
  double offset_error_us = NAN;
  double drift_error_ppm = NAN;
  std::optional<Interval> offset_interval;
  std::optional<Interval> drift_interval;
  bool offset_inside = false;
  bool drift_inside = false;
};

// One session; empty when a program failed or maroquint-align found no
// mapping.
std::optional<Session> RunSession(const Config &config, int number) {
  Result result;
  std::string problem;
  if (!Record(config, result, problem)) {
    std::printf("session %d: %s\n", number, problem.c_str());
    return std::nullopt;
  }
  bool told = false;
  if (result.align_status == kAmbiguous) {
    // A run of identical pulses may not tell which pulse is which; the
    // truth then picks the candidate (to within a quarter period), and the
    // offset and drift are still the tool's own fit.
    maroquint::harness::ChildProcess align(
        MAROQUINT_ALIGN,
        {result.bdf, result.xdf, "--json", result.json, "--offset",
         maroquint::base::Format("%.6f", result.truth.t0)},
        {});
    result.align_status = align.Wait(120);
    result.align_output = align.Output();
    told = true;
  }
  std::ifstream in(result.json);
  std::ostringstream text;
  text << in.rdbuf();
  const auto json = maroquint::base::Json::parse(text.str(), nullptr, false);
  const double offset = JsonDouble(json, "offset_s");
  const double drift = JsonDouble(json, "drift_ppm");
  if (result.align_status != 0 || std::isnan(offset) || std::isnan(drift)) {
    const std::string status = result.align_status ? std::to_string(*result.align_status)
                                                   : std::string("none: it did not end");
    std::printf("session %d: maroquint-align gave no mapping (status %s)\n%s", number,
                status.c_str(), result.align_output.c_str());
    return std::nullopt;
  }
  Session s;
  s.offset_error_us = (offset - result.truth.t0) * 1e6;
  s.drift_error_ppm = drift - result.truth.drift_ppm;
  s.offset_interval = JsonInterval(json, "offset_ci95_s");
  s.drift_interval = JsonInterval(json, "drift_ci95_ppm");
  s.offset_inside = s.offset_interval && s.offset_interval->Holds(result.truth.t0);
  s.drift_inside = s.drift_interval && s.drift_interval->Holds(result.truth.drift_ppm);

  std::printf("session %2d: offset error %+7.1f us (%s), drift error %+6.2f ppm (%s)", number,
              s.offset_error_us, Inside(s.offset_interval, result.truth.t0).c_str(),
              s.drift_error_ppm, Inside(s.drift_interval, result.truth.drift_ppm).c_str());
  if (s.offset_interval && s.drift_interval) {
    std::printf("; 95 %%: offset %+.1f to %+.1f us, drift %+.2f to %+.2f ppm",
                (s.offset_interval->low - result.truth.t0) * 1e6,
                (s.offset_interval->high - result.truth.t0) * 1e6,
                s.drift_interval->low - result.truth.drift_ppm,
                s.drift_interval->high - result.truth.drift_ppm);
  }
  const std::vector<double> errors = StampErrors(result);
  if (!errors.empty()) {
    std::vector<double> magnitudes;
    for (double e : errors) magnitudes.push_back(std::fabs(e));
    std::printf("; marker - true edge p50 %+.3f ms, p99 of |.| %.3f ms",
                maroquint::base::NearestRankPercentile(errors, 0.5) * 1e3,
                maroquint::base::NearestRankPercentile(magnitudes, 0.99) * 1e3);
  }
  if (told) std::printf("; pairing undecided, --offset from the truth");
  std::printf("\n");
  std::fflush(stdout);
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  Config config;
  config.seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 60;
  config.rate = argc > 2 ? std::atoi(argv[2]) : 2048;
  config.drift_ppm = argc > 3 ? std::strtod(argv[3], nullptr) : 50;
  const long sessions = argc > 4 ? std::strtol(argv[4], nullptr, 10) : 10;
  if (!(config.seconds >= 5 && config.seconds <= 3600) || sessions < 1 || sessions > 100) {
    std::fprintf(stderr, "seconds must be from 5 to 3600, sessions from 1 to 100\n");
    return 2;
  }
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / "maroquint-align-session-bench";
  std::filesystem::remove_all(root);

  std::printf("%ld sessions of %.0f s, amplifier %d Hz drifting %g ppm; errors are tool - truth\n",
              sessions, config.seconds, config.rate, config.drift_ppm);
  std::vector<Session> done;
  for (long k = 1; k <= sessions; ++k) {
    const std::filesystem::path dir = root / ("session-" + std::to_string(k));
    std::filesystem::create_directories(dir);
    config.dir = dir.string();
    if (auto s = RunSession(config, static_cast<int>(k))) done.push_back(*s);
  }
  if (done.empty()) return 1;

  const double n = static_cast<double>(done.size());
  double mean = 0, offset_mean = 0;
  for (const Session &s : done) {
    mean += s.drift_error_ppm / n;
    offset_mean += s.offset_error_us / n;
  }
  double variance = 0;
  for (const Session &s : done) variance += (s.drift_error_ppm - mean) * (s.drift_error_ppm - mean);
  const double se = std::sqrt(variance / std::max(n - 1, 1.0) / n);
  std::printf("\n%zu of %ld sessions aligned\n", done.size(), sessions);
  if (done.size() > 1) {
    std::printf("mean drift error %+.2f ppm, standard error %.2f ppm: %s\n", mean, se,
                std::fabs(mean) <= 2 * se ? "within twice its standard error of 0"
                                          : "BIASED (beyond twice its standard error)");
  } else {
    std::printf("mean drift error %+.2f ppm: one session cannot tell a bias\n", mean);
  }
  std::printf("mean offset error %+.1f us\n", offset_mean);
  const auto count = [&](auto member) { return std::count_if(done.begin(), done.end(), member); };
  const long with_intervals =
      count([](const Session &s) { return s.offset_interval && s.drift_interval; });
  if (with_intervals == 0) {
    std::printf("coverage: no interval (maroquint-align reports no 95 %% intervals)\n");
    return 0;
  }
  std::printf("truth inside the 95 %% intervals: offset %ld, drift %ld, both %ld, of %ld\n",
              count([](const Session &s) { return s.offset_inside; }),
              count([](const Session &s) { return s.drift_inside; }),
              count([](const Session &s) { return s.offset_inside && s.drift_inside; }),
              with_intervals);
  std::printf("files: %s\n", root.string().c_str());
  return 0;
}
