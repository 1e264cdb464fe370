#include "edf_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace maroquint::edf {
namespace {

// A field of `width` bytes: the text, padded with spaces.
std::string Field(const std::string &text, std::size_t width) {
  std::string field = text.substr(0, width);
  field.resize(width, ' ');
  return field;
}

struct TestSignal {
  std::string label;
  int samples_per_record;
  std::int32_t digital_min;
  std::int32_t digital_max;
};

struct TestFile {
  Format format = Format::kEdf;
  std::string reserved;  // "EDF+C", "BDF+D", "24BIT"...
  std::string records = "3";
  std::string duration = "0.5";
  std::vector<TestSignal> signals;
  // values[record][signal][sample]
  std::vector<std::vector<std::vector<std::int32_t>>> values;

  std::string Header() const {
    const std::size_t ns = signals.size();
    std::string h = format == Format::kBdf ? std::string("\xff") + "BIOSEMI" : Field("0", 8);
    h += Field("X X X X", 80) + Field("Startdate 08-DEC-2026 X X X", 80);
    h += "08.12.26" + std::string("10.00.00");
    h += Field(std::to_string(256 * (ns + 1)), 8) + Field(reserved, 44);
    h += Field(records, 8) + Field(duration, 8) + Field(std::to_string(ns), 4);
    for (const TestSignal &s : signals) h += Field(s.label, 16);
    for (std::size_t i = 0; i < ns; ++i) h += Field("AgAgCl electrode", 80);
    for (std::size_t i = 0; i < ns; ++i) h += Field("uV", 8);
    for (std::size_t i = 0; i < ns; ++i) h += Field("-262144", 8);
    for (std::size_t i = 0; i < ns; ++i) h += Field("262143.5", 8);
    for (const TestSignal &s : signals) h += Field(std::to_string(s.digital_min), 8);
    for (const TestSignal &s : signals) h += Field(std::to_string(s.digital_max), 8);
    for (std::size_t i = 0; i < ns; ++i) h += Field("HP:0.1Hz", 80);
    for (const TestSignal &s : signals) h += Field(std::to_string(s.samples_per_record), 8);
    for (std::size_t i = 0; i < ns; ++i) h += Field("", 32);
    return h;
  }

  std::string Records() const {
    std::string out;
    const int width = format == Format::kBdf ? 3 : 2;
    for (const auto &record : values)
      for (const auto &samples : record)
        for (const std::int32_t v : samples)
          for (int b = 0; b < width; ++b) out += static_cast<char>((v >> (8 * b)) & 0xff);
    return out;
  }

  std::string Bytes() const { return Header() + Records(); }
  std::size_t HeaderBytes() const { return 256 * (signals.size() + 1); }
  std::size_t RecordBytes() const {
    std::size_t samples = 0;
    for (const TestSignal &s : signals) samples += static_cast<std::size_t>(s.samples_per_record);
    return samples * (format == Format::kBdf ? 3 : 2);
  }
};

// Two signals of different lengths: a trigger channel of 4 samples and an
// EEG channel of 2 per record, 3 records, with the extremes of the format.
TestFile Bdf() {
  TestFile f;
  f.format = Format::kBdf;
  f.reserved = "24BIT";
  f.signals = {{"Status", 4, -8388608, 8388607}, {"Fp1", 2, -8388608, 8388607}};
  f.values = {{{0, 1, 1, 0}, {-8388608, 8388607}},
              {{0x123456, -1, 0, 1}, {-2, 2}},
              {{1, 0, 0, 0}, {0x7fff00, -0x7fff00}}};
  return f;
}

TestFile Edf() {
  TestFile f;
  f.signals = {{"EEG Cz", 3, -32768, 32767}, {"TRIG", 1, 0, 255}};
  f.values = {{{-32768, 32767, 0}, {1}}, {{-1, 1, 256}, {0}}, {{7, 8, 9}, {255}}};
  return f;
}

// Everything the reader tells about a file read to its end, as text, so
// that two reads compare in one assertion with a readable difference.
std::string Read(std::string_view bytes, std::size_t piece, Limits limits = {}) {
  Reader reader(limits);
  std::ostringstream out;
  std::vector<std::int32_t> values;
  const auto drain = [&] {
    while (reader.NextRecord()) {
      out << "record " << reader.RecordsRead() << ":";
      for (std::size_t s = 0; s < reader.FileHeader().signals.size(); ++s) {
        reader.Values(static_cast<int>(s), values);
        out << " [";
        for (const std::int32_t v : values) out << ' ' << v;
        out << " ]";
      }
      out << '\n';
    }
  };
  for (std::size_t i = 0; i < bytes.size(); i += piece) {
    reader.Feed(bytes.substr(i, piece));
    drain();
  }
  reader.Finish();
  drain();
  if (!reader.Outcome().Ok()) return "error: " + reader.Outcome().Message() + "\n";
  const Header &h = reader.FileHeader();
  out << "format " << (h.format == Format::kBdf ? "BDF" : "EDF") << (h.plus ? "+" : "")
      << (h.discontinuous ? " discontinuous" : "") << ", records " << h.records << ", duration "
      << h.record_duration_s << '\n';
  for (const Signal &s : h.signals)
    out << "signal '" << s.label << "' " << s.samples_per_record << " per record, digital "
        << s.digital_min << ".." << s.digital_max << ", physical " << s.physical_min << ".."
        << s.physical_max << ' ' << s.physical_dimension << (s.annotations ? ", annotations" : "")
        << '\n';
  for (const Warning &w : reader.Warnings())
    out << "warning " << static_cast<int>(w.kind) << " count " << w.count << " at " << w.at_byte
        << '\n';
  return out.str();
}

std::string ReadWhole(std::string_view bytes, Limits limits = {}) {
  return Read(bytes, std::max<std::size_t>(bytes.size(), 1), limits);
}

Status Failure(std::string_view bytes, Limits limits = {}) {
  Reader reader(limits);
  reader.Feed(bytes);
  reader.Finish();
  EXPECT_FALSE(reader.HasHeader());
  EXPECT_FALSE(reader.Outcome().Ok());
  return reader.Outcome();
}

// The message people read.
std::string Error(std::string_view bytes, Limits limits = {}) {
  const Status status = Failure(bytes, limits);
  return status.Ok() ? "" : status.Message();
}

ErrorCode Code(std::string_view bytes, Limits limits = {}) {
  return Failure(bytes, limits).Code();
}

std::string WarningText(WarningKind kind, std::uint64_t count, std::uint64_t at_byte) {
  return "; warning " + std::to_string(static_cast<int>(kind)) + " count " + std::to_string(count) +
         " at " + std::to_string(at_byte);
}

TEST(EdfReader, ReadsTheHeaderAndEveryRecordOfABdfFile) {
  const TestFile f = Bdf();
  EXPECT_EQ(ReadWhole(f.Bytes()),
            "record 1: [ 0 1 1 0 ] [ -8388608 8388607 ]\n"
            "record 2: [ 1193046 -1 0 1 ] [ -2 2 ]\n"
            "record 3: [ 1 0 0 0 ] [ 8388352 -8388352 ]\n"
            "format BDF, records 3, duration 0.5\n"
            "signal 'Status' 4 per record, digital -8388608..8388607, physical -262144..262144 uV\n"
            "signal 'Fp1' 2 per record, digital -8388608..8388607, physical -262144..262144 uV\n");
}

TEST(EdfReader, ReadsSixteenBitValuesOfAnEdfFile) {
  const TestFile f = Edf();
  Reader reader;
  reader.Feed(f.Bytes());
  reader.Finish();
  ASSERT_TRUE(reader.HasHeader());
  EXPECT_EQ(reader.FileHeader().start_date, "08.12.26");
  EXPECT_EQ(reader.FileHeader().signals[0].transducer, "AgAgCl electrode");
  EXPECT_EQ(reader.FileHeader().signals[0].prefiltering, "HP:0.1Hz");
  EXPECT_DOUBLE_EQ(reader.FileHeader().signals[0].physical_max, 262143.5);
  EXPECT_EQ(reader.FileHeader().RecordBytes(), f.RecordBytes());
  std::vector<std::int32_t> trigger;
  std::vector<std::int32_t> eeg;
  std::vector<std::int32_t> all_trigger;
  std::vector<std::int32_t> all_eeg;
  while (reader.NextRecord()) {
    reader.Values(1, trigger);
    reader.Values(0, eeg);
    all_trigger.insert(all_trigger.end(), trigger.begin(), trigger.end());
    all_eeg.insert(all_eeg.end(), eeg.begin(), eeg.end());
  }
  EXPECT_EQ(all_trigger, (std::vector<std::int32_t>{1, 0, 255}));
  EXPECT_EQ(all_eeg, (std::vector<std::int32_t>{-32768, 32767, 0, -1, 1, 256, 7, 8, 9}));
  EXPECT_TRUE(reader.Warnings().empty());
  reader.Values(2, eeg);
  EXPECT_TRUE(eeg.empty());
}

// Every prefix of a file, as a file cut there would be, reads the same
// whole and in pieces of every size from 1 to 7 bytes; and its complete
// records are read.
TEST(EdfReader, ReadsEveryCutOfAFileTheSameWholeAndInPieces) {
  for (const TestFile &f : {Bdf(), Edf()}) {
    const std::string bytes = f.Bytes();
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
      const std::string_view cut = std::string_view(bytes).substr(0, length);
      const std::string whole = ReadWhole(cut);
      for (std::size_t piece = 1; piece <= 7; ++piece)
        ASSERT_EQ(Read(cut, piece), whole) << "length " << length << ", pieces of " << piece;
      if (length >= f.HeaderBytes()) {
        const std::size_t complete = (length - f.HeaderBytes()) / f.RecordBytes();
        EXPECT_NE(whole.find(complete == 0 ? "format" : "record " + std::to_string(complete) + ":"),
                  std::string::npos)
            << whole;
        EXPECT_EQ(whole.find("record " + std::to_string(complete + 1) + ":"), std::string::npos);
      } else {
        EXPECT_EQ(whole.rfind("error: ", 0), 0u) << whole;
      }
    }
  }
}

// The records a read gives, of those the header announces, and the
// warnings, in the order they are given; fed in pieces of `piece` bytes.
std::string RecordsAndWarnings(std::string_view bytes, std::size_t piece) {
  Reader reader;
  for (std::size_t at = 0; at < bytes.size(); at += piece) reader.Feed(bytes.substr(at, piece));
  reader.Finish();
  int records = 0;
  while (reader.NextRecord()) ++records;
  std::string text = std::to_string(records) + " of " + std::to_string(reader.FileHeader().records);
  for (const Warning &w : reader.Warnings()) text += WarningText(w.kind, w.count, w.at_byte);
  return text;
}

// A file that holds other than the records its header announces: its
// complete records are read, and the warnings say what is amiss and where.
TEST(EdfReader, AFileOfOtherThanItsRecordsReadsItsCompleteRecordsAndSaysSo) {
  const TestFile bdf = Bdf();
  const std::size_t second = bdf.HeaderBytes() + bdf.RecordBytes();
  TestFile unknown = Bdf();
  unknown.records = "-1";
  TestFile two = Edf();
  two.records = "2";
  const std::size_t third = two.HeaderBytes() + 2 * two.RecordBytes();
  // One record and 5 bytes of the second; a count of -1; a record and 4
  // bytes after the two announced, fed a byte at a time.
  EXPECT_EQ(RecordsAndWarnings(bdf.Bytes().substr(0, second + 5), 4096),
            "1 of 3" + WarningText(WarningKind::kCutShort, 2, second + 5) +
                WarningText(WarningKind::kIncompleteRecord, 5, second));
  EXPECT_EQ(RecordsAndWarnings(unknown.Bytes(), 4096),
            "3 of -1" + WarningText(WarningKind::kRecordCountUnknown, 3, unknown.HeaderBytes()));
  EXPECT_EQ(RecordsAndWarnings(two.Bytes() + "tail", 1),
            "2 of 2" + WarningText(WarningKind::kTrailingBytes, two.RecordBytes() + 4, third));
  EXPECT_NE(Describe(WarningKind::kRecordCountUnknown).find("-1"), std::string::npos);
}

TEST(EdfReader, TellsEdfPlusAndBdfPlusAndTheirAnnotationSignals) {
  TestFile f = Bdf();
  f.reserved = "BDF+C";
  f.signals[1].label = "BDF Annotations";
  EXPECT_NE(ReadWhole(f.Bytes()).find("format BDF+, records 3"), std::string::npos);
  EXPECT_NE(ReadWhole(f.Bytes()).find("'BDF Annotations' 2 per record, digital -8388608..8388607, "
                                      "physical -262144..262144 uV, annotations"),
            std::string::npos);
  f.reserved = "BDF+D";
  EXPECT_NE(ReadWhole(f.Bytes()).find("format BDF+ discontinuous"), std::string::npos);
  // Only EDF+ names its annotation signal "EDF Annotations".
  f.reserved = "24BIT";
  f.signals[1].label = "EDF Annotations";
  EXPECT_EQ(ReadWhole(f.Bytes()).find("annotations"), std::string::npos);
  TestFile e = Edf();
  e.reserved = "EDF+C";
  e.signals[1].label = "EDF Annotations";
  EXPECT_NE(ReadWhole(e.Bytes()).find("format EDF+, records 3"), std::string::npos);
  EXPECT_NE(ReadWhole(e.Bytes()).find("annotations"), std::string::npos);
}

TEST(EdfReader, SaysWhatAFileThatIsNoEdfIs) {
  EXPECT_EQ(Error(""), "empty file, where an EDF or BDF file was expected");
  EXPECT_EQ(Error(std::string("XDF:\x01\x00\x00\x00", 8) + std::string(300, 'x')),
            "not an EDF or BDF file: the header's version field is \"XDF:\\x01\\x00\\x00\\x00\", "
            "where EDF has \"0\" and BDF has \"\\xFFBIOSEMI\"");
  EXPECT_EQ(Error("hi"),
            "not an EDF or BDF file: the header's version field is \"hi\", where EDF has \"0\" and "
            "BDF has \"\\xFFBIOSEMI\"");
  EXPECT_EQ(Error("0   "),
            "not an EDF or BDF file: it holds 4 bytes, short of the 256 that start "
            "every EDF and BDF header");
  EXPECT_EQ(Error(Bdf().Bytes().substr(0, 300)),
            "not a complete BDF file: the header announces 2 signals (768 header bytes) but the "
            "file holds 300 bytes");
  EXPECT_EQ(Code(""), ErrorCode::kEmpty);
  EXPECT_EQ(Code("hi"), ErrorCode::kNotEdf);
  EXPECT_EQ(Code("0   "), ErrorCode::kNotEdf);
  EXPECT_EQ(Code(Bdf().Bytes().substr(0, 300)), ErrorCode::kHeaderCutShort);
}

TEST(EdfReader, SaysWhichHeaderFieldMakesNoSense) {
  TestFile f = Edf();
  std::string bytes = f.Bytes();
  bytes.replace(252, 4, "x   ");
  EXPECT_EQ(Error(bytes),
            "not a readable EDF file: the header's signal count field is \"x   \", "
            "where a whole number from 1 to 4096 was expected");
  EXPECT_EQ(Code(bytes), ErrorCode::kBadHeader);
  Limits limits;
  limits.max_signals = 1;
  EXPECT_NE(Error(f.Bytes(), limits).find("from 1 to 1 was expected"), std::string::npos);

  bytes = f.Bytes();
  bytes.replace(184, 8, "1024    ");
  EXPECT_EQ(Error(bytes),
            "not a readable EDF file: the header's size field is \"1024    \", where "
            "256 * (1 + 2 signals) = 768 was expected");
  bytes = f.Bytes();
  bytes.replace(184, 8, "512     ");
  EXPECT_NE(Error(bytes).find("size field is \"512     \""), std::string::npos);

  f.records = "-2";
  EXPECT_NE(Error(f.Bytes()).find("record count field is \"-2      \""), std::string::npos);
  f.records = "3";
  f.duration = "1,0";
  EXPECT_NE(Error(f.Bytes()).find("record duration field is \"1,0     \""), std::string::npos);
  f.duration = "1e400";
  EXPECT_NE(Error(f.Bytes()).find("record duration field"), std::string::npos);
  f.duration = "1";

  f.signals[1].samples_per_record = 0;
  EXPECT_EQ(Error(f.Bytes()),
            "not a readable EDF file: signal 2 (\"TRIG\") has the samples per record field \"0     "
            "  \", where a whole number from 1 to 4194304 was expected");
  f.signals[1].samples_per_record = 1000;
  limits = {};
  limits.max_record_bytes = 1000;
  EXPECT_EQ(Error(f.Bytes(), limits),
            "not a readable EDF file: its records would be 2006 bytes each, beyond the limit of "
            "1000");
  EXPECT_EQ(Code(f.Bytes(), limits), ErrorCode::kRecordTooLarge);
  f.signals[1] = {"TRIG", 1, 5, 5};
  EXPECT_NE(Error(f.Bytes()).find("digital maximum field \"5       \", where a number above"),
            std::string::npos);
  f.signals[1] = {"TRIG", 1, -40000, 5};
  EXPECT_NE(Error(f.Bytes()).find("digital minimum field \"-40000  \""), std::string::npos);
  TestFile b = Bdf();
  b.signals[0].digital_min = -40000;
  EXPECT_NE(ReadWhole(b.Bytes()).find("digital -40000..8388607"), std::string::npos);
}

}  // namespace
}  // namespace maroquint::edf
