// The built maroquint-align on files written here: a BDF through EDFlib,
// XDF through the project's writer, and the monitor's CSV.
#include <edflib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "ChildProcess.h"
#include "writer.h"

namespace maroquint::align {
namespace {

using harness::Finished;
using harness::RunToEnd;

constexpr char kMarker[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

// Pulses of 3 ms once a second, with a little jitter, seen by an amplifier
// 30 ppm fast at 2048 Hz; their markers on a clock 5000 s ahead. The
// program pauses for three pulses (20.3 to 22.3 s) unless `gapless` (a
// single missing pulse could be a lost one on each side): without, a train
// of equal intervals does not tell which pulse is which.
struct Session {
  static constexpr int kRate = 2048;
  static constexpr double kDrift = 30e-6;
  static constexpr double kOffset = 5000.0;
  int seconds = 40;
  std::vector<double> edges;  // true times, from the amplifier's first sample

  explicit Session(bool gapless = false) {
    std::mt19937 random(5);
    for (double t = 1.3; t < seconds - 1; t += 1.0) {
      const double edge = t + std::uniform_real_distribution<double>(-3e-4, 3e-4)(random);
      if (gapless || std::fabs(t - 21.3) > 1.5) edges.push_back(edge);
    }
  }
  bool High(std::int64_t sample) const {
    const double t = sample / (kRate * (1 + kDrift));
    for (double edge : edges) {
      if (t >= edge && t < edge + 0.003) return true;
    }
    return false;
  }
  std::vector<int> Status() const {
    std::vector<int> values(static_cast<std::size_t>(seconds) * kRate);
    for (std::size_t n = 0; n < values.size(); ++n) values[n] = (High(n) ? 1 : 0) | 0x00FF00;
    return values;
  }
  // The markers of every pulse but the first.
  std::vector<double> Markers() const {
    std::vector<double> times;
    for (std::size_t k = 1; k < edges.size(); ++k) times.push_back(kOffset + edges[k] + 1e-4);
    return times;
  }
};

class AlignProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("maroquint-align-test-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string &name) const { return (dir_ / name).string(); }

  std::string WriteBdf(const Session &session) {
    const std::string path = Path("eeg.bdf");
    const int handle = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_BDFPLUS, 2);
    EXPECT_GE(handle, 0);
    for (int s = 0; s < 2; ++s) {
      edf_set_samplefrequency(handle, s, Session::kRate);
      edf_set_digital_maximum(handle, s, 8388607);
      edf_set_digital_minimum(handle, s, -8388608);
      edf_set_physical_maximum(handle, s, 262143);
      edf_set_physical_minimum(handle, s, -262144);
      edf_set_label(handle, s, s == 0 ? "Fp1" : "Status");
    }
    const std::vector<int> status = session.Status();
    std::vector<int> eeg(Session::kRate, 0);
    for (int second = 0; second < session.seconds; ++second) {
      edfwrite_digital_samples(handle, eeg.data());
      edfwrite_digital_samples(handle, const_cast<int *>(status.data()) + second * Session::kRate);
    }
    edfclose_file(handle);
    return path;
  }

  // The markers, with a clock offset of 0 (one machine), and a stream of
  // something else.
  std::string MarkerXdf(const std::vector<double> &times) {
    std::string bytes = xdf::FileHeader();
    bytes += xdf::StreamHeader(
        1,
        "<info><name>Maroquint</name><type>Markers</type><channel_count>1</channel_count>"
        "<nominal_srate>0</nominal_srate><channel_format>string</channel_format></info>");
    bytes += xdf::StreamHeader(
        2,
        "<info><name>Other</name><type>Markers</type><channel_count>1</channel_count>"
        "<nominal_srate>0</nominal_srate><channel_format>string</channel_format></info>");
    std::vector<xdf::StringSample> samples;
    for (double t : times) samples.push_back({t, {kMarker}});
    bytes += xdf::StringSamplesChunk(1, samples);
    bytes += xdf::ClockOffset(1, times.front(), 0.0);
    bytes += xdf::StringSamplesChunk(2, {{times.front(), {"x"}}});
    return bytes;
  }

  static std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // The number after "key": in a JSON text.
  static double JsonNumber(const std::string &json, const std::string &key) {
    const std::size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return NAN;
    return std::stod(json.substr(at + key.size() + 4));
  }

  std::filesystem::path dir_;
};

TEST_F(AlignProgram, AlignsABdfWithXdfMarkers) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  const std::string xdf = Path("markers.xdf");
  Write(xdf, MarkerXdf(session.Markers()));
  const Finished run =
      RunToEnd(MAROQUINT_ALIGN, {bdf, xdf, "--json", Path("r.json"), "--csv", Path("p.csv"),
                                 "--mapping", Path("map.json"), "--plot", Path("r.svg")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("onsets without marker: 1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("decided by: a shared pattern"), std::string::npos) << run.output;
  const std::string json = Slurp(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"aligned\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"decided_by\": \"a shared pattern\""), std::string::npos) << json;
  EXPECT_EQ(JsonNumber(json, "pairs"), session.edges.size() - 1) << json;
  EXPECT_NEAR(JsonNumber(json, "drift_ppm"), 30, 2);
  EXPECT_NEAR(JsonNumber(json, "offset_s"), Session::kOffset + 1e-4, 1.0 / Session::kRate);
  EXPECT_LT(JsonNumber(json, "residual_max_s"), 1.0 / Session::kRate);

  // The mapping puts the first pulse's onset sample on its marker.
  const std::string mapping = Slurp(Path("map.json"));
  const double a = JsonNumber(mapping, "a"), b = JsonNumber(mapping, "b");
  const double onset = std::ceil(session.edges[1] * Session::kRate * (1 + Session::kDrift));
  EXPECT_NEAR(a + b * onset / JsonNumber(mapping, "rate"), session.Markers()[0],
              1.0 / Session::kRate);
  const std::string csv = Slurp(Path("p.csv"));
  EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')),
            session.edges.size());
  EXPECT_NE(Slurp(Path("r.svg")).find("<svg"), std::string::npos);
}

TEST_F(AlignProgram, TakesTheMonitorsCsvAndACutXdf) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  std::string csv = "marker,timestamp,local_time,interval,missed,text\n";
  for (double t : session.Markers()) {
    csv += "1," + std::to_string(t) + ",,,,\"" + std::string(kMarker) + "\"\n";
  }
  Write(Path("m.csv"), csv);
  Finished run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.csv"), "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_EQ(JsonNumber(Slurp(Path("r.json")), "pairs"), session.edges.size() - 1);

  std::string bytes = MarkerXdf(session.Markers());
  bytes.resize(bytes.size() - 5);
  Write(Path("cut.xdf"), bytes);
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("cut.xdf")});
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.errors.find("warning"), std::string::npos);
}

// The EEG itself as a stream of the XDF file, its trigger in channel Status.
TEST_F(AlignProgram, TakesTheTriggerFromAnXdfStream) {
  const Session session;
  const std::vector<int> status = session.Status();
  const std::vector<double> markers = session.Markers();
  std::string bytes = MarkerXdf(markers);
  bytes += xdf::StreamHeader(
      3,
      "<info><name>BioSemi</name><type>EEG</type><channel_count>2</channel_count>"
      "<nominal_srate>2048</nominal_srate><channel_format>int32</channel_format><desc><channels>"
      "<channel><label>Fp1</label></channel><channel><label>Status</label></channel>"
      "</channels></desc></info>");
  xdf::NumericSamples samples{xdf::ChannelFormat::kInt32, 2, {}, {}};
  for (std::size_t n = 0; n < status.size(); ++n) {
    samples.time_stamps.push_back(n == 0 ? std::optional<double>(Session::kOffset) : std::nullopt);
    samples.values.push_back(0);
    samples.values.push_back(status[n]);
  }
  bytes += xdf::NumericSamplesChunk(3, samples);
  Write(Path("all.xdf"), bytes);
  Finished run = RunToEnd(MAROQUINT_ALIGN, {Path("all.xdf"), "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  const std::string json = Slurp(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "pairs"), session.edges.size() - 1);
  EXPECT_NEAR(JsonNumber(json, "drift_ppm"), 30, 2);

  run = RunToEnd(MAROQUINT_ALIGN, {Path("all.xdf"), "--eeg-stream", "BioSemi", "--channel", "1"});
  EXPECT_EQ(run.exit_status, 1) << run.errors;  // channel 1 has no onsets
  EXPECT_NE(run.errors.find("no trigger onset"), std::string::npos) << run.errors;

  // Markers from a later hour of the same recorder's clock.
  std::vector<double> later = markers;
  for (double &t : later) t += 3600;
  Write(Path("later.xdf"), MarkerXdf(later) + bytes.substr(MarkerXdf(markers).size()));
  run = RunToEnd(MAROQUINT_ALIGN, {Path("later.xdf")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.errors.find("do not overlap"), std::string::npos) << run.errors;
}

// A train without gaps: the tool lists the candidates and writes no
// mapping, unless the user names a pair or the offset.
TEST_F(AlignProgram, AnUndecidedPairingExitsThreeAndWritesNoMapping) {
  const Session session(true);
  const std::string bdf = WriteBdf(session);
  Write(Path("m.xdf"), MarkerXdf(session.Markers()));
  Finished run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--json", Path("r.json"),
                                            "--mapping", Path("map.json"), "--csv", Path("p.csv")});
  EXPECT_EQ(run.exit_status, 3) << run.errors;
  EXPECT_EQ(run.output.rfind("AMBIGUOUS: ", 0), 0u) << run.output;
  EXPECT_NE(run.errors.find("do not decide"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(Path("map.json")));
  EXPECT_FALSE(std::filesystem::exists(Path("p.csv")));
  const std::string json = Slurp(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"ambiguous\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"offset_s\": null"), std::string::npos) << json;
  EXPECT_GE(JsonNumber(json, "candidate_count"), 2) << json;

  // Onset 2 is the pulse of marker 1 (the first pulse has no marker).
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--first-pair", "2:1", "--json",
                                   Path("r.json"), "--mapping", Path("map.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("decided by: the user"), std::string::npos) << run.output;
  EXPECT_NEAR(JsonNumber(Slurp(Path("map.json")), "a"), Session::kOffset + 1e-4,
              1.0 / Session::kRate);
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--offset", "5000.2"});
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--offset", "5000.5"});
  EXPECT_EQ(run.exit_status, 1) << run.errors;
  EXPECT_NE(run.errors.find("quarter period"), std::string::npos) << run.errors;
}

// Markers that are not the EEG's pulses: refused, and the JSON says why.
TEST_F(AlignProgram, RefusesMarkersOfAnotherRun) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  std::mt19937 random(8);
  std::vector<double> times;
  for (int k = 0; k < 40; ++k) {
    times.push_back(Session::kOffset + std::uniform_real_distribution<double>(0, 40)(random));
  }
  std::sort(times.begin(), times.end());
  Write(Path("m.xdf"), MarkerXdf(times));
  const Finished run = RunToEnd(
      MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--json", Path("r.json"), "--mapping", Path("map")});
  EXPECT_EQ(run.exit_status, 1) << run.errors;
  EXPECT_EQ(run.output.rfind("REFUSED: ", 0), 0u) << run.output;
  EXPECT_NE(run.errors.find("not a pairing"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(Path("map")));
  const std::string json = Slurp(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"refused\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"reason\": \"not a pairing of one pulse train: "), std::string::npos)
      << json;
}

TEST_F(AlignProgram, SaysWhatIsWrong) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  Write(Path("m.xdf"), MarkerXdf(session.Markers()));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{Path("none.bdf"), Path("m.xdf")}, 2, "none.bdf"},
      {{bdf, Path("none.xdf")}, 2, "cannot open"},
      {{bdf, Path("m.xdf"), "--channel", "Trig"},
       2,
       "no channel 'Trig' (channels: 'Fp1', 'Status')"},
      {{bdf, Path("m.xdf"), "--stream", "EEG"},
       2,
       "no stream 'EEG' (streams: 'Maroquint', 'Other')"},
      {{bdf, Path("m.xdf"), "--stream", "Other"}, 1, "too few"},
      {{bdf, Path("m.xdf"), "--bit", "3"}, 1, "no trigger onset"},
      {{bdf, bdf}, 2, "timestamp"},
      {{bdf}, 64, "MARKER_FILE"},
      {{bdf, Path("m.xdf"), "--bogus"}, 64, "bogus"},
      {{bdf, Path("m.xdf"), "--first-pair", "2-1"}, 64, "ONSET:MARKER"},
      {{bdf, Path("m.xdf"), "--first-pair", "99:1"}, 64, "ONSET:MARKER"},
      {{bdf, Path("m.xdf"), "--first-pair", "1:1", "--offset", "1"}, 64, "excludes"},
      {{bdf, Path("m.xdf"), "--json", Path("no/such/dir/r.json")}, 74, "cannot write"},
  };
  for (const auto &c : cases) {
    const Finished run = RunToEnd(MAROQUINT_ALIGN, c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args.back() << "\n" << run.errors;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << c.args.back() << "\n" << run.errors;
  }
  const Finished help = RunToEnd(MAROQUINT_ALIGN, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.output.find("--mapping"), std::string::npos);
}

}  // namespace
}  // namespace maroquint::align
