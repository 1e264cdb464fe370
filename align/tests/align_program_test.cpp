// The built maroquint-align on files written here: a BDF, XDF through the
// project's writer, and the monitor's CSV.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "base/json.h"
#include "child_process.h"
#include "test_files.h"
#include "writer.h"
#include "xdf_streams.h"

namespace maroquint::align {
namespace {

using harness::Finished;
using harness::RunToEnd;
using test::kMarker;
using test::MarkerStreamHeader;
using test::ReadFile;
using test::TsvRows;

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
  // The experiment's triggers on bit 1, 5 ms long, true times.
  std::vector<double> triggers;
  // The markers' clock steps by `step` seconds at true time `step_at`.
  double step_at = 1e9;
  double step = 0;

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
    for (const double trigger : triggers) {
      const double scale = kRate * (1 + kDrift);
      for (auto n = static_cast<std::size_t>(std::ceil(trigger * scale));
           n < values.size() && n < trigger * scale + 0.005 * scale; ++n) {
        values[n] |= 2;
      }
    }
    return values;
  }
  // The markers of every pulse but the first.
  std::vector<double> Markers() const {
    std::vector<double> times;
    for (std::size_t k = 1; k < edges.size(); ++k) times.push_back(LslTime(edges[k]) + 1e-4);
    return times;
  }
  // The marker clock at a true time.
  double LslTime(double t) const { return kOffset + t + (t > step_at ? step : 0); }
  // Where a true time falls on the amplifier's samples.
  static double SampleAt(double t) { return t * kRate * (1 + kDrift); }
};

class AlignProgram : public test::TempFolder {
 protected:
  // A plain BDF file of the session, one record a second: an EEG channel
  // of zeros and the Status channel.
  std::string WriteBdf(const Session &session) {
    const auto field = [](const std::string &text, std::size_t width) {
      std::string padded = text;
      padded.resize(width, ' ');
      return padded;
    };
    std::string bytes =
        "\xff"
        "BIOSEMI" +
        field("", 160) + "08.12.2610.00.00" + field("768", 8) + field("24BIT", 44) +
        field(std::to_string(session.seconds), 8) + field("1", 8) + field("2", 4);
    bytes += field("Fp1", 16) + field("Status", 16) + field("", 160) + field("uV", 16);
    bytes += field("-262144", 8) + field("-262144", 8) + field("262143", 8) + field("262143", 8);
    bytes += field("-8388608", 8) + field("-8388608", 8) + field("8388607", 8) +
             field("8388607", 8) + field("", 160);
    bytes += field(std::to_string(Session::kRate), 8) + field(std::to_string(Session::kRate), 8) +
             field("", 64);
    const std::vector<int> status = session.Status();
    for (int second = 0; second < session.seconds; ++second) {
      bytes += std::string(3 * Session::kRate, '\0');
      for (int i = 0; i < Session::kRate; ++i) {
        const int value = status[static_cast<std::size_t>(second * Session::kRate + i)];
        for (int b = 0; b < 3; ++b) bytes += static_cast<char>((value >> (8 * b)) & 0xff);
      }
    }
    return Write("eeg.bdf", bytes);
  }

  // The markers, with a clock offset of 0 (one machine), and a stream of
  // something else.
  static std::string MarkerXdf(const std::vector<double> &times) {
    std::vector<xdf::StringSample> samples;
    for (double t : times) samples.push_back({t, {kMarker}});
    return xdf::FileHeader() + MarkerStreamHeader(1, "Maroquint") + MarkerStreamHeader(2, "Other") +
           xdf::StringSamplesChunk(1, samples) + xdf::ClockOffset(1, times.front(), 0.0) +
           xdf::StringSamplesChunk(2, {{times.front(), {"x"}}});
  }

  // A marker stream of the experiment: its header and one chunk.
  static std::string ExperimentStream(std::uint32_t id, const std::string &name,
                                      const std::vector<xdf::StringSample> &samples) {
    return MarkerStreamHeader(id, name) + xdf::StringSamplesChunk(id, samples);
  }

  // The session's EEG as stream 3, BioSemi: Fp1 of zeros and Status, its
  // first sample stamped on the markers' clock.
  static std::string EegStream(const Session &session) {
    xdf::NumericSamples samples{xdf::ChannelFormat::kInt32, 2, {}, {}};
    for (const int status : session.Status()) {
      samples.time_stamps.push_back(
          samples.time_stamps.empty() ? std::optional<double>(Session::kOffset) : std::nullopt);
      samples.values.insert(samples.values.end(), {0, static_cast<double>(status)});
    }
    return test::StreamHeaderOf(3, "BioSemi", "EEG", "int32", Session::kRate, {"Fp1", "Status"}) +
           xdf::NumericSamplesChunk(3, samples);
  }

  // The number at `pointer` in a JSON text.
  static double JsonNumber(const std::string &text, const std::string &pointer) {
    return base::Json::parse(text).at(base::Json::json_pointer(pointer)).get<double>();
  }
};

TEST_F(AlignProgram, AlignsABdfWithXdfMarkers) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  const std::string xdf = Write("markers.xdf", MarkerXdf(session.Markers()));
  std::vector<std::string> args = {bdf,     xdf,           "--json",    Path("r.json"),
                                   "--csv", Path("p.csv"), "--mapping", Path("map.json")};
#ifdef MAROQUINT_ALIGN_PLOT
  args.insert(args.end(), {"--plot", Path("r.svg")});
#endif
  const Finished run = RunToEnd(MAROQUINT_ALIGN, args);
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("onsets without marker: 1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("decided by: a shared pattern"), std::string::npos) << run.output;
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"aligned\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"decided_by\": \"a shared pattern\""), std::string::npos) << json;
  EXPECT_EQ(JsonNumber(json, "/pairs"), session.edges.size() - 1) << json;
  EXPECT_NEAR(JsonNumber(json, "/drift_ppm"), 30, 2);
  EXPECT_NEAR(JsonNumber(json, "/offset_s"), Session::kOffset + 1e-4, 1.0 / Session::kRate);
  EXPECT_LT(JsonNumber(json, "/residual_max_s"), 1.0 / Session::kRate);

  // The mapping puts the first pulse's onset sample on its marker.
  const std::string mapping = ReadFile(Path("map.json"));
  const double a = JsonNumber(mapping, "/a"), b = JsonNumber(mapping, "/b");
  const double onset = std::ceil(session.edges[1] * Session::kRate * (1 + Session::kDrift));
  EXPECT_NEAR(a + b * onset / JsonNumber(mapping, "/rate"), session.Markers()[0],
              1.0 / Session::kRate);
  const std::string csv = ReadFile(Path("p.csv"));
  EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')),
            session.edges.size());
#ifdef MAROQUINT_ALIGN_PLOT
  EXPECT_NE(ReadFile(Path("r.svg")).find("<svg"), std::string::npos);
#endif
}

// 300 stimuli sent as LSL markers 3 ms after their triggers on bit 1, two
// more outside the recording, one text with a tab and one with a new line.
TEST_F(AlignProgram, PlacesTheExperimentsEventsOnTheirSamples) {
  Session session;
  std::vector<xdf::StringSample> stimuli;
  std::vector<double> truth;
  for (int k = 0; k < 300; ++k) {
    const double t = 1.05 + k * 0.12;
    session.triggers.push_back(t - 0.003);
    truth.push_back(t);
    const std::string text = k == 10   ? "tab\there"
                             : k == 11 ? "new\nline"
                                       : "stim " + std::to_string(k);
    stimuli.push_back({session.LslTime(t), {text}});
  }
  stimuli.insert(stimuli.begin(), {session.LslTime(-5), {"before"}});
  stimuli.push_back({session.LslTime(session.seconds + 5), {"after"}});
  const std::string bdf = WriteBdf(session);
  const std::string xdf = Write(
      "session.xdf", MarkerXdf(session.Markers()) + ExperimentStream(3, "Experiment", stimuli));
  const Finished run =
      RunToEnd(MAROQUINT_ALIGN,
               {bdf, xdf, "--events", Path("ev.tsv"), "--events-stream", "Experiment",
                "--check-bits", "0x2", "--json", Path("r.json"), "--mapping", Path("map.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("stream Experiment: 300 of 302 on the EEG, 1 before its first "
                            "sample, 1 after its last"),
            std::string::npos)
      << run.output;

  const auto rows = TsvRows(ReadFile(Path("ev.tsv")));
  ASSERT_EQ(rows.size(), 301u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"onset", "duration", "sample", "value", "trial_type",
                                               "stream"}));
  for (std::size_t k = 1; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k].size(), 6u) << k;
    // The markers come 0.1 ms after the pulses: the mapping puts events
    // that much early, within a sample.
    EXPECT_NEAR(std::stod(rows[k][2]), Session::SampleAt(truth[k - 1]), 1.0) << k;
    EXPECT_NEAR(std::stod(rows[k][0]) * Session::kRate, Session::SampleAt(truth[k - 1]), 1.0);
    EXPECT_EQ(rows[k][5], "Experiment");
  }
  EXPECT_EQ(rows[11][3], "tab\\there");
  EXPECT_EQ(rows[12][4], "new\\nline");
  EXPECT_NE(ReadFile(Path("ev.json")).find("\"trial_type\""), std::string::npos);

  const std::string json = ReadFile(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "/events/streams/0/before_recording"), 1) << json;
  EXPECT_EQ(JsonNumber(json, "/events/streams/0/after_recording"), 1);
  EXPECT_EQ(JsonNumber(json, "/trigger_check/streams/0/matched"), 300);
  EXPECT_EQ(JsonNumber(json, "/trigger_check/streams/0/without_trigger"), 0);
  EXPECT_NEAR(JsonNumber(json, "/trigger_check/streams/0/median_ms"), 2.9, 0.25);
  EXPECT_LT(JsonNumber(json, "/trigger_check/streams/0/max_abs_ms"), 2.9 + 1e3 / Session::kRate);
  const std::string mapping = ReadFile(Path("map.json"));
  EXPECT_NE(mapping.find("\"inverse_formula\""), std::string::npos);
  EXPECT_NE(mapping.find("\"piecewise\": false"), std::string::npos);
}

// The marker clock steps 3 ms forward halfway through.
TEST_F(AlignProgram, MapsASteppedClockInTwoPieces) {
  Session session;
  session.step_at = 20;
  session.step = 0.003;
  const std::string bdf = WriteBdf(session);
  const std::string xdf = Write(
      "markers.xdf",
      MarkerXdf(session.Markers()) +
          ExperimentStream(3, "Experiment",
                           {{session.LslTime(10), {"early"}}, {session.LslTime(30), {"late"}}}));
  const Finished run = RunToEnd(MAROQUINT_ALIGN, {bdf, xdf, "--json", Path("r.json"), "--mapping",
                                                  Path("map.json"), "--events", Path("ev.tsv")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("warning: one line does not map the clocks"), std::string::npos)
      << run.output;
  const base::Json json = base::Json::parse(ReadFile(Path("r.json")));
  EXPECT_EQ(json["mapping_piecewise"], true);
  ASSERT_FALSE(json["warnings"].empty()) << json;
  EXPECT_EQ(json["warnings"][0].get<std::string>().rfind("one line does not map", 0), 0u) << json;
  const base::Json mapping = base::Json::parse(ReadFile(Path("map.json")));
  // Each piece's a within its interval of the truth: the marker clock at
  // the first sample, plus the markers' 0.1 ms, plus the step after it.
  const double truths[] = {Session::kOffset + 1e-4, Session::kOffset + 1e-4 + 0.003};
  ASSERT_EQ(mapping["segments"].size(), 2u) << mapping;
  for (std::size_t k = 0; k < 2; ++k) {
    const base::Json &a_ci95 = mapping["segments"][k]["a_ci95"];
    EXPECT_LE(a_ci95[0].get<double>(), truths[k]) << mapping;
    EXPECT_GE(a_ci95[1].get<double>(), truths[k]) << mapping;
  }
  // Each event by its own piece; by default from every marker stream but
  // Maroquint's ("Other" has one too).
  const auto rows = TsvRows(ReadFile(Path("ev.tsv")));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1][5], "Other");
  EXPECT_EQ(rows[2][3], "early");
  EXPECT_NEAR(std::stod(rows[2][2]), Session::SampleAt(10), 1.0);
  EXPECT_EQ(rows[3][3], "late");
  EXPECT_NEAR(std::stod(rows[3][2]), Session::SampleAt(30), 1.0);
}

// An ambiguous pairing (a train without gaps) or too few pairs: no events.
TEST_F(AlignProgram, WritesNoEventsWithoutAMapping) {
  const Session gapless(true);
  const std::string xdf =
      Write("markers.xdf", MarkerXdf(gapless.Markers()) +
                               ExperimentStream(3, "Experiment", {{gapless.Markers()[3], {"x"}}}));
  Finished run = RunToEnd(MAROQUINT_ALIGN, {WriteBdf(gapless), xdf, "--events", Path("ev.tsv"),
                                            "--json", Path("r.json")});
  EXPECT_EQ(run.exit_status, 3) << run.errors;
  EXPECT_NE(run.output.find("no events file written: the result is ambiguous"), std::string::npos)
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(Path("ev.tsv")));
  const base::Json json = base::Json::parse(ReadFile(Path("r.json")));
  EXPECT_EQ(json["events"]["written"], false) << json;
  EXPECT_EQ(json["events"]["reason"], "no events file written: the result is ambiguous") << json;

  const Session session;
  const std::string bdf = WriteBdf(session);
  const std::vector<double> all = session.Markers();
  const std::vector<double> two(all.begin(), all.begin() + 2);
  Write("markers.xdf", MarkerXdf(two) + ExperimentStream(3, "Experiment", {{two[0], {"x"}}}));
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, xdf, "--events", Path("ev.tsv")});
  EXPECT_EQ(run.exit_status, 1) << run.errors;
  EXPECT_NE(run.errors.find("no events file written"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(Path("ev.tsv")));
  EXPECT_EQ(
      RunToEnd(MAROQUINT_ALIGN, {bdf, xdf, "--check-bits", "0x1", "--events", "e.tsv"}).exit_status,
      64);
  EXPECT_EQ(RunToEnd(MAROQUINT_ALIGN, {bdf, xdf, "--check-bits", "2"}).exit_status, 64);
}

TEST_F(AlignProgram, TakesTheMonitorsCsvAndACutXdf) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  // As the monitor's --output writes it: a line naming the stream first.
  std::string csv =
      "# maroquint-monitor: stream \"Maroquint\"  type \"Markers\", 1 channel, string, irregular "
      "rate, source id \"m-1\", host \"vm\", uid e240beb0; watched from "
      "2026-12-08T10:24:11.946020Z\n"
      "marker,timestamp,local_time,interval,missed,text,utc_time\n";
  for (double t : session.Markers()) {
    csv += "1," + std::to_string(t) + ",,,0," + std::string(kMarker) +
           ",2026-12-08T10:24:12.806217Z\n";
  }
  Finished run = RunToEnd(MAROQUINT_ALIGN, {bdf, Write("m.csv", csv), "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_EQ(JsonNumber(ReadFile(Path("r.json")), "/pairs"), session.edges.size() - 1);
  EXPECT_NE(run.output.find("m.csv, stream Maroquint"), std::string::npos) << run.output;

  std::string bytes = MarkerXdf(session.Markers());
  bytes.resize(bytes.size() - 5);
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Write("cut.xdf", bytes)});
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.errors.find("warning"), std::string::npos);
}

// A recording longer than any cap on stored values: 2 channels at 16384 Hz
// for more than an hour, 2^27 values and more, in chunks as a recorder
// writes them, with the markers interleaved; every onset is found.
TEST_F(AlignProgram, ReadsAnXdfOfAnyLengthWhole) {
  constexpr int kRate = 16384;
  constexpr int kChunkSeconds = 8;
  constexpr int kChunk = kRate * kChunkSeconds;
  constexpr int kChunks = (1 << 26) / kChunk + 1;  // 2 channels: over 2^27 values
  constexpr double kStart = 1000.0;
  std::ofstream out(Path("long.xdf"), std::ios::binary);
  out << xdf::FileHeader() << MarkerStreamHeader(1, "Maroquint")
      << test::StreamHeaderOf(2, "EEG", "EEG", "int8", kRate, {"Fp1", "Status"});
  xdf::NumericSamples quiet{xdf::ChannelFormat::kInt8, 2, {}, {}};
  quiet.time_stamps.assign(kChunk, std::nullopt);
  quiet.values.assign(2 * kChunk, 0);
  const std::string blank = xdf::NumericSamplesChunk(2, quiet);
  std::int64_t pulses = 0;
  for (int c = 0; c < kChunks; ++c) {
    std::string chunk = blank;
    if (c == 0) {
      quiet.time_stamps[0] = kStart;
      chunk = xdf::NumericSamplesChunk(2, quiet);
    }
    std::vector<xdf::StringSample> markers;
    for (int second = 0; second < kChunkSeconds; ++second, ++pulses) {
      // Pulses of 3 ms at intervals that vary, so that one pairing fits.
      const std::int64_t onset = 1000 + std::int64_t{second} * kRate + (pulses * 37) % 50;
      // Counted from the end: the first chunk's first sample is longer.
      for (std::int64_t i = onset; i < onset + 49; ++i)
        chunk[chunk.size() - 3 * (kChunk - i) + 2] = 1;
      const std::int64_t sample = std::int64_t{c} * kChunk + onset;
      markers.push_back({kStart + static_cast<double>(sample) / kRate + 1e-4, {kMarker}});
    }
    out << chunk << xdf::StringSamplesChunk(1, markers);
    if (c % 4 == 0) out << xdf::ClockOffset(1, kStart + c * kChunkSeconds, 0.0);
  }
  out.close();
  ASSERT_TRUE(out);

  const Finished run = RunToEnd(MAROQUINT_ALIGN, {Path("long.xdf"), "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "/onsets"), pulses) << json.substr(0, 300);
  EXPECT_EQ(JsonNumber(json, "/pairs"), pulses);
  EXPECT_NEAR(JsonNumber(json, "/drift_ppm"), 0, 0.1);
}

// A BDF file as a crashed recorder leaves it: its record count still -1,
// its last record cut. The pulses of its complete records are paired; the
// session's pause, inside them, tells the pairing where they belong among
// the markers.
TEST_F(AlignProgram, AlignsABdfCutShortByACrash) {
  const Session session;
  std::string bytes = ReadFile(WriteBdf(session));
  constexpr int kComplete = 30;
  bytes.replace(236, 8, "-1      ");
  bytes.resize(768 + kComplete * 2 * 3 * Session::kRate + 1000);
  const Finished run =
      RunToEnd(MAROQUINT_ALIGN,
               {Write("crashed.bdf", bytes), Write("markers.xdf", MarkerXdf(session.Markers())),
                "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  const double end = kComplete / (1 + Session::kDrift);
  const auto recorded = static_cast<std::size_t>(std::count_if(
      session.edges.begin() + 1, session.edges.end(), [&](double edge) { return edge < end; }));
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "/pairs"), recorded) << json;
  EXPECT_EQ(JsonNumber(json, "/onsets"), recorded + 1);
  EXPECT_NEAR(JsonNumber(json, "/offset_s"), Session::kOffset + 1e-4, 1.0 / Session::kRate);
}

// The EEG itself as a stream of the XDF file, its trigger in channel Status.
TEST_F(AlignProgram, TakesTheTriggerFromAnXdfStream) {
  const Session session;
  const std::vector<double> markers = session.Markers();
  const std::string eeg = EegStream(session);
  const std::string bytes = MarkerXdf(markers) + eeg;
  Finished run = RunToEnd(MAROQUINT_ALIGN, {Write("all.xdf", bytes), "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "/pairs"), session.edges.size() - 1);
  EXPECT_NEAR(JsonNumber(json, "/drift_ppm"), 30, 2);

  run = RunToEnd(MAROQUINT_ALIGN, {Path("all.xdf"), "--eeg-stream", "BioSemi", "--channel", "1"});
  EXPECT_EQ(run.exit_status, 1) << run.errors;  // channel 1 has no onsets
  EXPECT_NE(run.errors.find("no trigger onset"), std::string::npos) << run.errors;

  // Markers from a later hour of the same recorder's clock.
  std::vector<double> later = markers;
  for (double &t : later) t += 3600;
  run = RunToEnd(MAROQUINT_ALIGN, {Write("later.xdf", MarkerXdf(later) + eeg)});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.errors.find("do not overlap"), std::string::npos) << run.errors;

  // Damage met a thousand times is one line, with its count.
  std::string damaged = bytes;
  for (int i = 0; i < 1000; ++i) damaged += xdf::StringSamplesChunk(9, {{1.0, {"?"}}});
  run = RunToEnd(MAROQUINT_ALIGN, {Write("damaged.xdf", damaged)});
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.errors.find("without its header, skipped (1000 times, first at byte " +
                            std::to_string(bytes.size()) + ", stream 9)"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;

  // A limit of the reader reached is an input it cannot read, named.
  run = RunToEnd(
      MAROQUINT_ALIGN,
      {Write("wide.xdf", bytes + test::StreamHeaderOf(4, "Wide", "EEG", "int8", 2048, {}, 70000))});
  EXPECT_EQ(run.exit_status, 2) << run.errors;
  EXPECT_NE(run.errors.find("limit of 65536 channels (max_channels)"), std::string::npos)
      << run.errors;
}

// A train without gaps: the tool lists the candidates and writes no
// mapping, unless the user names a pair or the offset.
TEST_F(AlignProgram, AnUndecidedPairingExitsThreeAndWritesNoMapping) {
  const Session session(true);
  const std::string bdf = WriteBdf(session);
  Write("m.xdf", MarkerXdf(session.Markers()));
  Finished run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--json", Path("r.json"),
                                            "--mapping", Path("map.json"), "--csv", Path("p.csv")});
  EXPECT_EQ(run.exit_status, 3) << run.errors;
  EXPECT_EQ(run.output.rfind("AMBIGUOUS: ", 0), 0u) << run.output;
  EXPECT_NE(run.errors.find("do not decide"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(Path("map.json")));
  EXPECT_FALSE(std::filesystem::exists(Path("p.csv")));
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"ambiguous\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"offset_s\": null"), std::string::npos) << json;
  EXPECT_GE(JsonNumber(json, "/candidate_count"), 2) << json;

  // Onset 2 is the pulse of marker 1 (the first pulse has no marker).
  run = RunToEnd(MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--first-pair", "2:1", "--json",
                                   Path("r.json"), "--mapping", Path("map.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("decided by: the user"), std::string::npos) << run.output;
  EXPECT_NEAR(JsonNumber(ReadFile(Path("map.json")), "/a"), Session::kOffset + 1e-4,
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
  Write("m.xdf", MarkerXdf(times));
  const Finished run = RunToEnd(
      MAROQUINT_ALIGN, {bdf, Path("m.xdf"), "--json", Path("r.json"), "--mapping", Path("map")});
  EXPECT_EQ(run.exit_status, 1) << run.errors;
  EXPECT_EQ(run.output.rfind("REFUSED: ", 0), 0u) << run.output;
  EXPECT_NE(run.errors.find("not a pairing"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(Path("map")));
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_NE(json.find("\"status\": \"refused\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"reason\": \"not a pairing of one pulse train: "), std::string::npos)
      << json;
}

// The EEG recorded through LSL: events and triggers out of the one file.
TEST_F(AlignProgram, PlacesEventsFromTheSameXdfAsTheEeg) {
  Session session;
  std::vector<xdf::StringSample> stimuli;
  for (int k = 0; k < 30; ++k) {
    const double t = 2.1 + k * 1.1;
    session.triggers.push_back(t - 0.003);
    stimuli.push_back({session.LslTime(t), {std::to_string(k)}});
  }
  Write("all.xdf", MarkerXdf(session.Markers()) + ExperimentStream(4, "Stimuli", stimuli) +
                       EegStream(session));
  const Finished run =
      RunToEnd(MAROQUINT_ALIGN, {Path("all.xdf"), "--events", Path("ev.tsv"), "--events-stream",
                                 "Stimuli", "--check-bits", "2", "--json", Path("r.json")});
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  const auto rows = TsvRows(ReadFile(Path("ev.tsv")));
  ASSERT_EQ(rows.size(), 31u);
  for (std::size_t k = 1; k < rows.size(); ++k) {
    EXPECT_NEAR(std::stod(rows[k][2]), Session::SampleAt(2.1 + (k - 1) * 1.1), 1.0) << k;
  }
  const std::string json = ReadFile(Path("r.json"));
  EXPECT_EQ(JsonNumber(json, "/trigger_check/streams/0/matched"), 30) << json;
  EXPECT_NEAR(JsonNumber(json, "/trigger_check/streams/0/median_ms"), 2.9, 0.25);
  EXPECT_EQ(RunToEnd(MAROQUINT_ALIGN,
                     {Path("all.xdf"), "--events", Path("ev.tsv"), "--events-stream", "Nothing"})
                .exit_status,
            2);
}

TEST_F(AlignProgram, SaysWhatIsWrong) {
  const Session session;
  const std::string bdf = WriteBdf(session);
  Write("m.xdf", MarkerXdf(session.Markers()));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
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
      // Outputs are tried before the inputs are read, with the system's reason.
      {{Path("none.bdf"), Path("m.xdf"), "--json", Path("no/such/dir/r.json")},
       74,
       "--json " + Path("no/such/dir/r.json") + ": cannot write the file: No such file"},
      {{Path("none.bdf"), Path("m.xdf"), "--mapping", Path("")}, 74, "a folder"},
      {{Path("none.bdf"), Path("m.xdf")}, 2, "none.bdf: cannot open the file: No such file"},
      {{bdf, Path("empty.xdf")}, 2, "empty file, where an XDF file was expected"},
      {{Path("m.xdf"), Path("m.xdf"), "--eeg-stream", "Maroquint"}, 2, "Maroquint"},
      {{Path("text.xdf"), Path("m.xdf")},
       2,
       "not an XDF file: it begins with \"hello\\x0A\", where an XDF file begins with \"XDF:\""},
  };
  Write("empty.xdf", "");
  Write("text.xdf", "hello\n");
  for (const auto &c : cases) {
    const Finished run = RunToEnd(MAROQUINT_ALIGN, c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args.back() << "\n" << run.errors;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << c.args.back() << "\n" << run.errors;
  }
  // A file that could be written was tried and not left behind.
  EXPECT_FALSE(std::filesystem::exists(Path("r.json")));
  EXPECT_EQ(RunToEnd(MAROQUINT_ALIGN, {Path("none.bdf"), Path("m.xdf"), "--json", Path("r.json")})
                .exit_status,
            2);
  EXPECT_FALSE(std::filesystem::exists(Path("r.json")));
  const Finished version = RunToEnd(MAROQUINT_ALIGN, {"--version"});
  EXPECT_EQ(version.exit_status, 0) << version.errors;
  EXPECT_EQ(version.output.rfind("maroquint-align ", 0), 0u) << version.output;
  const Finished help = RunToEnd(MAROQUINT_ALIGN, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.output.find("--mapping"), std::string::npos);
  for (const char *option : {"--events", "--events-stream", "--check-bits"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace maroquint::align
