// What maroquint-align costs on an hour of LabRecorder: writes a
// LabRecorder-style XDF file (65 float32 channels at 2048 Hz, the trigger
// pulse of 3 ms once a second on the last channel, a time stamp per
// sample, chunks of half a second, clock offsets every 5 s, boundary
// chunks every 10 s, a 1 Hz marker stream), then times `cat FILE >
// /dev/null` and maroquint-align reading it, and prints both wall times,
// their ratio and the tool's peak memory. A measurement, not a test.
//
// Usage: align_xdf_read [seconds [directory [program]]]
//        (defaults 3600, the temp directory, the maroquint-align built with it;
//        another program, e.g. an older build, to compare)
// The file (about 0.55 MB per second) is deleted afterwards. Both programs
// read it from the page cache: cat once untimed first.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "writer.h"

extern char **environ;

namespace {

namespace xdf = maroquint::xdf;

constexpr int kChannels = 65;
constexpr int kRate = 2048;
constexpr int kChunkSamples = kRate / 2;
constexpr double kPulseSeconds = 0.003;
constexpr double kEegStart = 73000.0;     // the amplifier host's clock
constexpr double kEegOffset = -70000.0;   // + this = the recorder's clock
constexpr double kMarkerOffset = 1234.5;  // the marker host's clock + this = the recorder's
constexpr char kMarker[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

std::string EegHeader() {
  std::string xml =
      "<info><name>BioSemi</name><type>EEG</type><channel_count>" + std::to_string(kChannels) +
      "</channel_count><nominal_srate>" + std::to_string(kRate) +
      "</nominal_srate><channel_format>float32</channel_format><source_id>biosemi-1</source_id>"
      "<desc><channels>";
  for (int c = 1; c < kChannels; ++c) {
    xml += "<channel><label>A" + std::to_string(c) + "</label><unit>microvolts</unit></channel>";
  }
  return xml + "<channel><label>TRIG</label></channel></channels></desc></info>";
}

// The pulse of second k starts a little after the second, by a varying
// amount, so that one pairing of pulses and markers fits best.
double PulseStart(std::int64_t k) {
  return static_cast<double>(k) + 0.3 + 0.002 * std::sin(0.7 * static_cast<double>(k));
}

struct Written {
  std::uint64_t bytes = 0;
  std::int64_t pulses = 0;
};

// Streams the recording to `path` chunk by chunk, as a recorder would.
bool WriteRecording(const std::string &path, double seconds, Written &written) {
  std::ofstream out(path, std::ios::binary);
  auto put = [&](const std::string &bytes) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    written.bytes += bytes.size();
  };
  put(xdf::FileHeader("2026-12-08T10:00:00+0000"));
  put(xdf::StreamHeader(1, EegHeader()));
  put(xdf::StreamHeader(
      2,
      "<info><name>Maroquint</name><type>Markers</type><channel_count>1</channel_count>"
      "<nominal_srate>0</nominal_srate><channel_format>string</channel_format>"
      "<source_id>maroquint-1</source_id></info>"));
  const std::int64_t total = static_cast<std::int64_t>(seconds * kRate);
  xdf::NumericSamples chunk{xdf::ChannelFormat::kFloat32, kChannels, {}, {}};
  std::int64_t next_pulse = 0;
  double next_offset = 0, next_boundary = 10;
  for (std::int64_t n0 = 0; n0 < total; n0 += kChunkSamples) {
    chunk.time_stamps.clear();
    chunk.values.clear();
    const std::int64_t n1 = std::min<std::int64_t>(total, n0 + kChunkSamples);
    for (std::int64_t n = n0; n < n1; ++n) {
      const double t = static_cast<double>(n) / kRate;
      chunk.time_stamps.push_back(kEegStart + t);
      for (int c = 1; c < kChannels; ++c) {
        chunk.values.push_back(20.0 * std::sin(0.01 * static_cast<double>(n + 37 * c)));
      }
      const auto k = static_cast<std::int64_t>(std::floor(t));
      const double into = t - PulseStart(k);
      chunk.values.push_back(into >= 0 && into < kPulseSeconds ? 1.0 : 0.0);
    }
    put(xdf::NumericSamplesChunk(1, chunk));
    // The markers of the pulses that began in this chunk, on their clock.
    const double chunk_end = static_cast<double>(n1) / kRate;
    std::vector<xdf::StringSample> markers;
    while (PulseStart(next_pulse) < chunk_end) {
      const double onset = std::ceil(PulseStart(next_pulse) * kRate) / kRate;
      markers.push_back(
          {kEegStart + onset + kEegOffset - kMarkerOffset + 1e-4, {std::string(kMarker)}});
      ++next_pulse;
    }
    if (!markers.empty()) put(xdf::StringSamplesChunk(2, markers));
    if (chunk_end >= next_offset) {
      const double recorder = kEegStart + chunk_end + kEegOffset;
      put(xdf::ClockOffset(1, recorder, kEegOffset));
      put(xdf::ClockOffset(2, recorder, kMarkerOffset));
      next_offset += 5;
    }
    if (chunk_end >= next_boundary) {
      put(xdf::Boundary());
      next_boundary += 10;
    }
  }
  const double last = kEegStart + static_cast<double>(total - 1) / kRate;
  put(xdf::StreamFooter(1, {kEegStart, last, static_cast<std::uint64_t>(total), {}}));
  put(xdf::StreamFooter(2, {0, 0, static_cast<std::uint64_t>(next_pulse), {}}));
  written.pulses = next_pulse;
  out.close();
  return static_cast<bool>(out);
}

struct Run {
  int status = -1;
  double seconds = 0;
  long max_rss_kib = 0;
};

// Runs `argv` with its standard output to `output` and its standard error
// to `errors`, and measures it.
Run Measure(const std::vector<std::string> &args, const std::string &output,
            const std::string &errors = "/dev/null") {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Run run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return run;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.max_rss_kib = usage.ru_maxrss;
  return run;
}

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

long JsonCount(const std::string &json, const std::string &key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 4);
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 3600;
  if (!(seconds >= 10 && seconds <= 86400)) {
    std::fprintf(stderr, "seconds must be from 10 to 86400\n");
    return 2;
  }
  const std::filesystem::path dir =
      (argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path()) /
      ("maroquint-align-xdf-read-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "recording.xdf").string();
  const std::string json = (dir / "result.json").string();
  const std::string program = argc > 3 ? argv[3] : MAROQUINT_ALIGN;

  const auto start = std::chrono::steady_clock::now();
  Written written;
  if (!WriteRecording(file, seconds, written)) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    std::filesystem::remove_all(dir);
    return 1;
  }
  const double write_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "recording: %.0f s, %d float32 channels at %d Hz, %lld pulses: %.1f MiB, written "
      "in %.1f s\n",
      seconds, kChannels, kRate, static_cast<long long>(written.pulses),
      static_cast<double>(written.bytes) / (1 << 20), write_seconds);

  Measure({"/bin/cat", file}, "/dev/null");
  const Run cat = Measure({"/bin/cat", file}, "/dev/null");
  const Run align = Measure({program, file, "--channel", "TRIG", "--json", json},
                            (dir / "report.txt").string(), (dir / "errors.txt").string());
  const std::string result = Slurp(json);
  const std::string errors = Slurp((dir / "errors.txt").string());
  std::filesystem::remove_all(dir);

  std::printf("cat FILE > /dev/null:   %.3f s (%.0f MiB/s)\n", cat.seconds,
              static_cast<double>(written.bytes) / (1 << 20) / cat.seconds);
  std::printf(
      "maroquint-align FILE:   %.3f s (%.0f MiB/s), exit status %d, peak memory %.1f "
      "MiB\n",
      align.seconds, static_cast<double>(written.bytes) / (1 << 20) / align.seconds, align.status,
      static_cast<double>(align.max_rss_kib) / 1024);
  std::printf("ratio align / cat:      %.2f\n", align.seconds / cat.seconds);
  std::printf("onsets %ld, markers %ld, pairs %ld (pulses written %lld)\n",
              JsonCount(result, "onsets"), JsonCount(result, "markers"), JsonCount(result, "pairs"),
              static_cast<long long>(written.pulses));
  std::printf(
      "standard error: %zu lines%s%s",
      static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')),
      errors.empty() ? "" : ", the first: ", errors.substr(0, errors.find('\n') + 1).c_str());
  if (errors.empty()) std::printf("\n");
  return align.status == 0 && cat.status == 0 ? 0 : 1;
}
