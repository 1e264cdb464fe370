#include "reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "writer.h"

namespace maroquint::xdf {
namespace {

constexpr char kMarkerXml[] =
    "<?xml version=\"1.0\"?><info><name>Maroquint</name><type>Markers</type>"
    "<channel_count>1</channel_count><nominal_srate>0</nominal_srate>"
    "<channel_format>string</channel_format><source_id>maroquint-1</source_id></info>";

std::string EegXml(std::string_view format, int channels) {
  return "<info><name>EEG</name><type>EEG</type><channel_count>" + std::to_string(channels) +
         "</channel_count><nominal_srate>100</nominal_srate><channel_format>" +
         std::string(format) + "</channel_format></info>";
}

// A recording of a marker stream and a 3-channel int16 stream, and the file
// offset where each of its chunks ends.
struct Recording {
  std::string bytes;
  std::vector<std::size_t> chunk_ends;

  void Add(const std::string &chunk) {
    bytes += chunk;
    chunk_ends.push_back(bytes.size());
  }
};

Recording MakeRecording() {
  Recording r;
  r.Add(FileHeader("2026-12-08T10:00:00+0000"));
  r.Add(StreamHeader(1, kMarkerXml));
  r.Add(StreamHeader(2, EegXml("int16", 3)));
  r.Add(StringSamplesChunk(1, {{10.0, {"first"}}, {11.0, {"second, \"quoted\""}}}));
  r.Add(NumericSamplesChunk(
      2,
      {ChannelFormat::kInt16, 3, {5.0, std::nullopt, std::nullopt}, {1, -2, 3, 4, 5, 6, 7, 8, 9}}));
  r.Add(ClockOffset(1, 20.0, -0.5));
  r.Add(Boundary());
  r.Add(StringSamplesChunk(1, {{12.0, {""}}}));
  r.Add(NumericSamplesChunk(2, {ChannelFormat::kInt16, 3, {std::nullopt}, {-32768, 0, 32767}}));
  r.Add(StreamFooter(1, {10.0, 12.0, 3, {{20.0, -0.5}}}));
  r.Add(StreamFooter(2, {5.0, 5.03, 4, {}}));
  return r;
}

// Everything a stream holds, as text, so that two loads compare in one
// assertion with a readable difference.
std::string Describe(const File &file) {
  std::ostringstream out;
  out.precision(17);
  for (const Stream &s : file.streams) {
    out << s.id << ' ' << s.info.name << ' ' << s.info.channel_count << ' '
        << FormatName(s.info.format) << ' ' << s.info.nominal_srate << " [";
    for (double t : s.time_stamps) out << t << ' ';
    out << "] [";
    for (double v : s.values) out << v << ' ';
    for (const std::string &v : s.strings) out << v << '|';
    out << "] [";
    for (const auto &o : s.clock_offsets) out << o.collection_time << ':' << o.value << ' ';
    out << "] footer " << (s.footer ? s.footer->sample_count : 0) << '\n';
  }
  return out.str();
}

// The warnings, one line per kind, for assertions that show them.
std::string Warnings(const File &file) {
  std::string text;
  for (const Warning &w : file.warnings) {
    text += w.kind + " x" + std::to_string(w.count) + " (first " + w.first + ")\n";
  }
  return text;
}

TEST(XdfReader, ReadsBackWhatTheWriterWrote) {
  const File file = Read(MakeRecording().bytes);
  EXPECT_EQ(Warnings(file), "");
  EXPECT_TRUE(file.status.Ok()) << file.status.Message();
  EXPECT_NE(file.header_xml.find("<datetime>2026-12-08T10:00:00+0000</datetime>"),
            std::string::npos);
  ASSERT_EQ(file.streams.size(), 2u);
  const Stream &markers = *file.FindByName("Maroquint");
  EXPECT_EQ(markers.info.type, "Markers");
  EXPECT_EQ(markers.info.source_id, "maroquint-1");
  EXPECT_EQ(markers.info.format, ChannelFormat::kString);
  EXPECT_EQ(markers.header_xml, kMarkerXml);
  EXPECT_EQ(markers.time_stamps, (std::vector<double>{10.0, 11.0, 12.0}));
  EXPECT_EQ(markers.strings, (std::vector<std::string>{"first", "second, \"quoted\"", ""}));
  ASSERT_EQ(markers.clock_offsets.size(), 1u);
  EXPECT_EQ(markers.clock_offsets[0].value, -0.5);
  ASSERT_TRUE(markers.footer);
  EXPECT_EQ(markers.footer->last_timestamp, 12.0);
  ASSERT_EQ(markers.footer->clock_offsets.size(), 1u);

  const Stream &eeg = *file.FindByName("EEG");
  EXPECT_EQ(eeg.info.channel_count, 3);
  EXPECT_EQ(eeg.info.nominal_srate, 100);
  // Deduced stamps continue from the previous one, across chunks.
  ASSERT_EQ(eeg.time_stamps.size(), 4u);
  EXPECT_DOUBLE_EQ(eeg.time_stamps[2], 5.02);
  EXPECT_DOUBLE_EQ(eeg.time_stamps[3], 5.03);
  EXPECT_EQ(eeg.values, (std::vector<double>{1, -2, 3, 4, 5, 6, 7, 8, 9, -32768, 0, 32767}));
  EXPECT_EQ(file.FindByName("nothing"), nullptr);
}

TEST(XdfReader, EveryNumericFormatRoundTrips) {
  const std::vector<std::pair<ChannelFormat, std::vector<double>>> cases = {
      {ChannelFormat::kInt8, {-128, 127}},
      {ChannelFormat::kInt16, {-32768, 32767}},
      {ChannelFormat::kInt32, {-2147483648.0, 2147483647.0}},
      {ChannelFormat::kInt64, {-9007199254740992.0, 9007199254740992.0}},
      {ChannelFormat::kFloat32, {-1.5f, 3.25e10f}},
      {ChannelFormat::kDouble64, {-1e-300, 0.1}},
  };
  for (const auto &[format, values] : cases) {
    const std::string bytes = FileHeader() + StreamHeader(3, EegXml(FormatName(format), 2)) +
                              NumericSamplesChunk(3, {format, 2, {1.25}, values});
    const File file = Read(bytes);
    ASSERT_EQ(file.streams.size(), 1u) << FormatName(format);
    EXPECT_EQ(file.streams[0].values, values) << FormatName(format);
    EXPECT_EQ(file.streams[0].time_stamps, std::vector<double>{1.25});
  }
}

TEST(XdfReader, PiecesOfAnySizeGiveTheSameResult) {
  const std::string bytes = MakeRecording().bytes;
  const std::string whole = Describe(Read(bytes));
  for (std::size_t piece : {1u, 2u, 7u, 64u}) {
    Reader reader;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      reader.Feed(std::string_view{bytes}.substr(at, piece));
    }
    const File file = reader.Finish();
    EXPECT_EQ(Warnings(file), "") << piece;
    EXPECT_EQ(Describe(file), whole) << piece;
  }
}

TEST(XdfReader, ACutFileLoadsUpToItsLastCompleteChunk) {
  const Recording recording = MakeRecording();
  const std::size_t header_end = recording.chunk_ends.front();
  std::size_t complete = header_end;
  for (std::size_t cut = header_end; cut < recording.bytes.size(); ++cut) {
    for (std::size_t end : recording.chunk_ends) {
      if (end <= cut) complete = end;
    }
    const File cut_file = Read(std::string_view{recording.bytes}.substr(0, cut));
    const File whole_chunks = Read(std::string_view{recording.bytes}.substr(0, complete));
    EXPECT_EQ(Warnings(whole_chunks), "");
    EXPECT_EQ(Describe(cut_file), Describe(whole_chunks)) << "cut at " << cut;
    EXPECT_EQ(cut_file.warnings.size(), cut == complete ? 0u : 1u) << "cut at " << cut;
  }
}

TEST(XdfReader, DamagedChunksAreSkipped) {
  const std::string head = FileHeader() + StreamHeader(1, kMarkerXml);
  const std::string good = StringSamplesChunk(1, {{1.0, {"kept"}}});

  // Broken framing: the reader goes on after the next boundary.
  File file = Read(head + "\x07garbage" + good + Boundary() + good);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].strings, std::vector<std::string>{"kept"});
  ASSERT_EQ(file.warnings.size(), 1u);
  EXPECT_NE(file.warnings[0].kind.find("damaged chunk"), std::string::npos);
  EXPECT_EQ(file.warnings[0].first, "at byte " + std::to_string(head.size()));

  // A length that runs past the end: the rest still loads from a boundary.
  file = Read(head + std::string("\x04\xFF\xFF\x00\x00\x03\x00", 7) + Boundary() + good);
  EXPECT_EQ(file.streams[0].strings, std::vector<std::string>{"kept"});
  EXPECT_EQ(file.warnings.size(), 1u);

  // Content that contradicts itself: only that chunk is lost.
  std::string lying = StringSamplesChunk(1, {{2.0, {"lost"}}});
  lying[9] = 5;  // five samples announced, one present
  file = Read(head + lying + good + StringSamplesChunk(77, {{1.0, {"?"}}}) +
              StringSamplesChunk(77, {{1.0, {"?"}}}));
  EXPECT_EQ(file.streams[0].strings, std::vector<std::string>{"kept"});
  ASSERT_EQ(file.warnings.size(), 2u) << Warnings(file);  // the lying chunk; stream 77's
  EXPECT_EQ(file.warnings[1].count, 2u);
  EXPECT_NE(file.warnings[1].first.find("stream 77"), std::string::npos);

  file = Read("RIFF....WAVE");
  EXPECT_TRUE(file.streams.empty());
  EXPECT_EQ(file.warnings.size(), 1u);
}

// A file damaged all over gives a line per kind of damage, with its count
// and where it was first met, however many times it is met.
TEST(XdfReader, CountsWarningsByKind) {
  std::string bytes = FileHeader() + StreamHeader(1, kMarkerXml);
  const std::size_t first_orphan = bytes.size();
  for (int i = 0; i < 5000; ++i) {
    bytes += StringSamplesChunk(9, {{1.0, {"orphan"}}});
    bytes += "\x07" + Boundary();
    bytes += StringSamplesChunk(1, {{1.0 + i, {"kept"}}});
  }
  const File file = Read(bytes);
  EXPECT_TRUE(file.status.Ok()) << file.status.Message();
  EXPECT_EQ(file.streams[0].strings.size(), 5000u);
  ASSERT_EQ(file.warnings.size(), 2u) << Warnings(file);
  EXPECT_EQ(file.warnings[0].kind, "chunks of a stream without its header, skipped");
  EXPECT_EQ(file.warnings[0].count, 5000u);
  EXPECT_EQ(file.warnings[0].first, "at byte " + std::to_string(first_orphan) + ", stream 9");
  EXPECT_EQ(file.warnings[1].kind, "damaged chunk; skipped to the next boundary chunk");
  EXPECT_EQ(file.warnings[1].count, 5000u);
}

// A limit reached is no damage to skip: the reading stops with an error
// that names it.
TEST(XdfReader, ALimitReachedIsAnErrorThatNamesIt) {
  const std::string head = FileHeader() + StreamHeader(1, kMarkerXml);
  const std::string two = StringSamplesChunk(1, {{1.0, {"a"}}, {2.0, {"b"}}});
  const std::string three = StringSamplesChunk(1, {{3.0, {"c"}}, {4.0, {"d"}}, {5.0, {"e"}}});
  Limits limits;
  limits.max_values = 4;
  File file = Read(head + two + three + two, limits);
  EXPECT_EQ(file.streams[0].strings, (std::vector<std::string>{"a", "b"}));
  ASSERT_FALSE(file.status.Ok());
  EXPECT_EQ(file.status.Code(), ErrorCode::kTooManyValues);
  EXPECT_NE(file.status.Message().find("limit of 4 values"), std::string::npos)
      << file.status.Message();
  EXPECT_NE(file.status.Message().find("(max_values)"), std::string::npos);

  limits = Limits{};
  limits.max_chunk_bytes = 1000;
  file = Read(head + two + StringSamplesChunk(1, {{3.0, {std::string(2000, 'x')}}}) + two, limits);
  EXPECT_EQ(file.streams[0].strings.size(), 2u);
  ASSERT_FALSE(file.status.Ok());
  EXPECT_EQ(file.status.Code(), ErrorCode::kChunkTooLarge);
  EXPECT_NE(file.status.Message().find("limit of 1000 bytes per chunk (max_chunk_bytes)"),
            std::string::npos)
      << file.status.Message();
  // A length beyond the limit whose chunk does not read as a real one is
  // damage, skipped as such.
  file = Read(
      head + std::string("\x04\x00\x00\x00\x40\x03\x00\x63\x00\x00\x00", 11) + Boundary() + two,
      limits);
  EXPECT_TRUE(file.status.Ok()) << file.status.Message();
  EXPECT_EQ(file.streams[0].strings.size(), 2u);
  EXPECT_EQ(file.warnings.size(), 1u) << Warnings(file);

  limits = Limits{};
  limits.max_streams = 1;
  file = Read(head + StreamHeader(2, EegXml("int16", 3)), limits);
  EXPECT_EQ(file.streams.size(), 1u);
  ASSERT_FALSE(file.status.Ok());
  EXPECT_EQ(file.status.Code(), ErrorCode::kTooManyStreams);
  EXPECT_NE(file.status.Message().find("limit of 1 streams (max_streams)"), std::string::npos)
      << file.status.Message();

  file = Read(FileHeader() + StreamHeader(2, EegXml("int16", 70000)));
  EXPECT_TRUE(file.streams.empty());
  ASSERT_FALSE(file.status.Ok());
  EXPECT_EQ(file.status.Code(), ErrorCode::kTooManyChannels);
  EXPECT_NE(file.status.Message().find("70000 channels"), std::string::npos)
      << file.status.Message();
  EXPECT_NE(file.status.Message().find("(max_channels)"), std::string::npos);
}

// Samples and clock offsets as a Parser hands them over.
class Tally : public Sink {
 public:
  void OnStreamHeader(std::uint32_t id, std::string_view, const StreamInfo &info) override {
    headers.push_back(std::to_string(id) + " " + info.name);
  }
  void OnSamples(const SampleChunk &chunk) override {
    samples += chunk.Size();
    if (chunk.Info().format == ChannelFormat::kString) return;
    chunk.Channel(chunk.Info().channel_count - 1, channel);
    for (double v : channel) sum += v;
    last_stamp = chunk.TimeStamps().back();
  }
  void OnClockOffset(std::uint32_t, const ClockOffsetMeasurement &) override { ++offsets; }

  std::vector<std::string> headers;
  std::uint64_t samples = 0;
  double sum = 0;
  double last_stamp = 0;
  int offsets = 0;
  std::vector<double> channel;
};

// A Parser stores no values: a file of more than the Reader's limit of
// values is read whole, in bounded pieces, chunk by chunk.
TEST(XdfParser, ReadsAFileOfAnyLengthInPieces) {
  NumericSamples samples{ChannelFormat::kInt8, 2, {}, {}};
  for (int i = 0; i < 1 << 20; ++i) {
    samples.time_stamps.push_back(std::nullopt);
    samples.values.push_back(-1);
    samples.values.push_back(i % 4);
  }
  const std::string chunk = NumericSamplesChunk(2, samples);
  const int chunks = (1 << 27) / (1 << 20) / 2 + 1;
  Tally tally;
  Parser parser(tally);
  parser.Feed(FileHeader() + StreamHeader(2, EegXml("int8", 2)));
  parser.Feed(NumericSamplesChunk(2, {ChannelFormat::kInt8, 2, {100.0}, {0, 0}}));
  for (int i = 0; i < chunks; ++i) {
    // In pieces that cut the chunks anywhere.
    const std::size_t cut = 1 + (i * 7919) % (chunk.size() - 1);
    parser.Feed(std::string_view{chunk}.substr(0, cut));
    parser.Feed(std::string_view{chunk}.substr(cut));
    if (i % 10 == 0) parser.Feed(ClockOffset(2, 1.0 * i, 0.5));
  }
  parser.End();
  EXPECT_TRUE(parser.Outcome().Ok()) << parser.Outcome().Message();
  EXPECT_TRUE(parser.Warnings().empty());
  EXPECT_EQ(tally.headers, std::vector<std::string>{"2 EEG"});
  const std::uint64_t total = std::uint64_t{1} + std::uint64_t{chunks} * (1 << 20);
  EXPECT_GT(total * 2, std::uint64_t{1} << 27);
  EXPECT_EQ(tally.samples, total);
  EXPECT_EQ(tally.sum, 1.5 * chunks * (1 << 20));
  // Deduced stamps add up rounding errors: within a sample period.
  EXPECT_NEAR(tally.last_stamp, 100.0 + (total - 1) / 100.0, 0.01);
  EXPECT_EQ(tally.offsets, (chunks + 9) / 10);
}

TEST(XdfReader, SurvivesRandomDamage) {
  const std::string bytes = MakeRecording().bytes;
  std::mt19937 random(12);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = bytes;
    const int flips = 1 + round % 8;
    for (int i = 0; i < flips; ++i) {
      damaged[random() % damaged.size()] = static_cast<char>(random());
    }
    const File file = Read(damaged.substr(0, random() % (damaged.size() + 1)));
    for (const Stream &s : file.streams) {
      const std::size_t per_sample = s.info.channel_count;
      EXPECT_EQ(s.values.size() + s.strings.size(), s.time_stamps.size() * per_sample);
    }
  }
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The values listed in the reference file's README.
TEST(XdfReader, ReadsTheReferenceFile) {
  const File file = Read(ReadFile(MAROQUINT_XDF_TEST_DATA "/minimal.xdf"));
  EXPECT_TRUE(file.warnings.empty());
  ASSERT_EQ(file.streams.size(), 2u);

  const Stream &numeric = *file.FindByName("SendDataC");
  EXPECT_EQ(numeric.id, 0u);
  EXPECT_EQ(numeric.info.type, "EEG");
  EXPECT_EQ(numeric.info.format, ChannelFormat::kInt16);
  EXPECT_EQ(numeric.info.channel_count, 3);
  EXPECT_EQ(numeric.info.nominal_srate, 10);
  ASSERT_EQ(numeric.SampleCount(), 9u);
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_NEAR(numeric.time_stamps[i], 5.1 + 0.1 * i, 1e-9) << i;
  }
  EXPECT_EQ(std::vector<double>(numeric.values.begin(), numeric.values.begin() + 6),
            (std::vector<double>{192, 255, 238, 12, 22, 32}));
  EXPECT_EQ(std::vector<double>(numeric.values.end() - 3, numeric.values.end()),
            (std::vector<double>{15, 25, 35}));
  ASSERT_EQ(numeric.clock_offsets.size(), 2u);
  EXPECT_DOUBLE_EQ(numeric.clock_offsets[0].collection_time, 6.1);
  EXPECT_DOUBLE_EQ(numeric.clock_offsets[1].collection_time, 7.1);
  EXPECT_DOUBLE_EQ(numeric.clock_offsets[1].value, -0.1);
  ASSERT_TRUE(numeric.footer);
  EXPECT_EQ(numeric.footer->sample_count, 9u);
  EXPECT_DOUBLE_EQ(numeric.footer->first_timestamp, 5.1);
  ASSERT_EQ(numeric.footer->clock_offsets.size(), 2u);
  EXPECT_DOUBLE_EQ(numeric.footer->clock_offsets[1].value, -0.02);

  const Stream &text = *file.FindByName("SendDataString");
  EXPECT_EQ(text.id, 0x02C0FFEEu);
  EXPECT_EQ(text.info.type, "StringMarker");
  ASSERT_EQ(text.SampleCount(), 9u);
  EXPECT_NE(text.strings[0].find("<clock_offsets>"), std::string::npos);
  EXPECT_EQ(
      std::vector<std::string>(text.strings.begin() + 1, text.strings.end()),
      (std::vector<std::string>{"Hello", "World", "from", "LSL", "Hello", "World", "from", "LSL"}));
  EXPECT_NEAR(text.time_stamps[8], 5.9, 1e-9);
  EXPECT_TRUE(text.clock_offsets.empty());
}

}  // namespace
}  // namespace maroquint::xdf
