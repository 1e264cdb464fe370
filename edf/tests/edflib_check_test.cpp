// Debian's EDFlib, an independent implementation, writes EDF and BDF files;
// our reader must read from them the digital values EDFlib reads back.
#include <edflib.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "edf_reader.h"

namespace maroquint::edf {
namespace {

// Per signal (annotation signals left out), its values in file order.
using Values = std::vector<std::vector<std::int32_t>>;

// EDFlib writes EDF+ and BDF+ only: a plain EDF or BDF file is made from
// one by leaving out its annotation signal, the last.
struct Recording {
  int filetype;  // EDFLIB_FILETYPE_*
  bool plain;
  std::vector<int> samples_per_record;
  int records;
  int duration_10us = 100000;  // EDFlib's unit: 10 microseconds
};

std::string TempPath(const std::string &name) {
  return ::testing::TempDir() + "edflib_" + name;
}

// Writes `r` with EDFlib: pseudo-random values over each signal's whole
// digital range; returns what was written.
Values Write(const std::string &path, const Recording &r) {
  const bool bdf = r.filetype == EDFLIB_FILETYPE_BDF || r.filetype == EDFLIB_FILETYPE_BDFPLUS;
  const int maximum = bdf ? 8388607 : 32767;
  const int signals = static_cast<int>(r.samples_per_record.size());
  const int handle = edfopen_file_writeonly(path.c_str(), r.filetype, signals);
  EXPECT_GE(handle, 0) << path;
  EXPECT_EQ(edf_set_datarecord_duration(handle, r.duration_10us), 0);
  for (int s = 0; s < signals; ++s) {
    edf_set_samplefrequency(handle, s, r.samples_per_record[static_cast<std::size_t>(s)]);
    edf_set_digital_maximum(handle, s, maximum);
    edf_set_digital_minimum(handle, s, -maximum - 1);
    edf_set_physical_maximum(handle, s, 1000);
    edf_set_physical_minimum(handle, s, -1000);
    edf_set_label(handle, s, ("S" + std::to_string(s)).c_str());
  }
  std::mt19937 random(static_cast<unsigned>(signals * 100 + r.records));
  std::uniform_int_distribution<int> value(-maximum - 1, maximum);
  Values written(static_cast<std::size_t>(signals));
  std::vector<int> record;
  for (int n = 0; n < r.records; ++n) {
    for (int s = 0; s < signals; ++s) {
      record.resize(static_cast<std::size_t>(r.samples_per_record[static_cast<std::size_t>(s)]));
      for (int &v : record) v = value(random);
      // The extremes, in the first record.
      if (n == 0 && record.size() >= 2) {
        record[0] = -maximum - 1;
        record[1] = maximum;
      }
      EXPECT_EQ(edfwrite_digital_samples(handle, record.data()), 0);
      written[static_cast<std::size_t>(s)].insert(written[static_cast<std::size_t>(s)].end(),
                                                  record.begin(), record.end());
    }
  }
  if (r.filetype == EDFLIB_FILETYPE_EDFPLUS || r.filetype == EDFLIB_FILETYPE_BDFPLUS)
    edfwrite_annotation_latin1(handle, 0, -1, "start");
  EXPECT_EQ(edfclose_file(handle), 0);
  return written;
}

Values ReadWithEdflib(const std::string &path) {
  // The header holds all 640 possible signals: too big for the stack.
  auto header = std::make_unique<edf_hdr_struct>();
  EXPECT_EQ(edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS), 0);
  Values values(static_cast<std::size_t>(header->edfsignals));
  for (int s = 0; s < header->edfsignals; ++s) {
    std::vector<int> buffer(static_cast<std::size_t>(header->signalparam[s].smp_in_file));
    EXPECT_EQ(
        edfread_digital_samples(header->handle, s, static_cast<int>(buffer.size()), buffer.data()),
        static_cast<int>(buffer.size()));
    values[static_cast<std::size_t>(s)].assign(buffer.begin(), buffer.end());
  }
  edfclose_file(header->handle);
  return values;
}

std::string FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Padded(const std::string &text, std::size_t width) {
  std::string field = text;
  field.resize(width, ' ');
  return field;
}

// The EDF+ or BDF+ file `plus` without its last signal, the annotations,
// and so a plain EDF or BDF file.
std::string WithoutAnnotations(const std::string &plus, bool bdf) {
  const std::size_t ns = std::stoul(plus.substr(252, 4));
  const std::size_t kept = ns - 1;
  std::string out = plus.substr(0, 256);
  out.replace(184, 8, Padded(std::to_string(256 * (kept + 1)), 8));
  out.replace(192, 44, Padded(bdf ? "24BIT" : "", 44));
  out.replace(252, 4, Padded(std::to_string(kept), 4));
  std::size_t field = 256;
  std::size_t record_bytes = 0;
  std::size_t annotation_bytes = 0;
  for (const std::size_t width : {16, 80, 8, 8, 8, 8, 8, 80, 8, 32}) {
    out += plus.substr(field, kept * width);
    if (field == 256 * (ns + 1) - 40 * ns) {  // samples per record
      for (std::size_t s = 0; s < ns; ++s) {
        const std::size_t bytes = std::stoul(plus.substr(field + s * 8, 8)) * (bdf ? 3 : 2);
        record_bytes += bytes;
        if (s == kept) annotation_bytes = bytes;
      }
    }
    field += ns * width;
  }
  for (std::size_t at = field; at + record_bytes <= plus.size(); at += record_bytes)
    out += plus.substr(at, record_bytes - annotation_bytes);
  return out;
}

// Our reader, fed in pieces of an odd size, as a file layer would.
struct OurRead {
  Values values;
  Header header;
  std::vector<Warning> warnings;
};

OurRead ReadWithOurs(const std::string &bytes) {
  Reader reader;
  OurRead out;
  std::vector<std::int32_t> record;
  const auto drain = [&] {
    while (reader.NextRecord()) {
      const std::vector<Signal> &signals = reader.FileHeader().signals;
      std::size_t data_signal = 0;
      for (std::size_t s = 0; s < signals.size(); ++s) {
        if (signals[s].annotations) continue;
        if (out.values.size() <= data_signal) out.values.resize(data_signal + 1);
        reader.Values(static_cast<int>(s), record);
        out.values[data_signal].insert(out.values[data_signal].end(), record.begin(), record.end());
        ++data_signal;
      }
    }
  };
  for (std::size_t i = 0; i < bytes.size(); i += 4093) {
    reader.Feed(std::string_view(bytes).substr(i, 4093));
    drain();
  }
  reader.Finish();
  drain();
  EXPECT_TRUE(reader.Outcome().Ok()) << reader.Outcome().Message();
  out.header = reader.FileHeader();
  out.warnings = reader.Warnings();
  return out;
}

class EdflibCheck : public ::testing::TestWithParam<Recording> {};

TEST_P(EdflibCheck, OurReaderReadsTheValuesEdflibWroteAndReads) {
  const Recording &r = GetParam();
  const std::string path = TempPath(std::to_string(r.filetype) + (r.plain ? "_plain_" : "_") +
                                    std::to_string(r.samples_per_record.size()) + ".edf");
  const bool bdf = r.filetype == EDFLIB_FILETYPE_BDFPLUS;
  const Values written = Write(path, r);
  if (r.plain) {
    const std::string plain = WithoutAnnotations(FileBytes(path), bdf);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << plain;
  }
  const Values edflib = ReadWithEdflib(path);
  ASSERT_EQ(edflib, written);
  const OurRead ours = ReadWithOurs(FileBytes(path));
  EXPECT_EQ(ours.values, edflib);
  EXPECT_TRUE(ours.warnings.empty());
  EXPECT_EQ(ours.header.records, r.records);
  EXPECT_DOUBLE_EQ(ours.header.record_duration_s, r.duration_10us * 1e-5);
  EXPECT_EQ(ours.header.format, bdf ? Format::kBdf : Format::kEdf);
  EXPECT_EQ(ours.header.plus, !r.plain);
  EXPECT_EQ(ours.header.signals.back().annotations, !r.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Files, EdflibCheck,
    ::testing::Values(Recording{EDFLIB_FILETYPE_EDFPLUS, true, {256}, 4},
                      Recording{EDFLIB_FILETYPE_EDFPLUS, false, {7, 100, 1}, 5, 25000},
                      Recording{EDFLIB_FILETYPE_BDFPLUS, true, {2048, 16}, 3},
                      Recording{EDFLIB_FILETYPE_BDFPLUS, false, {512, 3, 64, 1}, 6, 50000}));

// A recording cut in its fourth record, as a crash leaves it: the three
// complete records read as EDFlib reads them from the whole file.
TEST(EdflibCheckCut, AFileCutShortReadsItsCompleteRecordsAsEdflibReadsThem) {
  const Recording r{EDFLIB_FILETYPE_BDFPLUS, false, {64, 8}, 6};
  const std::string path = TempPath("cut.bdf");
  Write(path, r);
  const Values edflib = ReadWithEdflib(path);
  const std::string bytes = FileBytes(path);
  const OurRead whole = ReadWithOurs(bytes);
  const std::size_t header_bytes = static_cast<std::size_t>(whole.header.header_bytes);
  const std::size_t record_bytes = whole.header.RecordBytes();
  const OurRead cut = ReadWithOurs(bytes.substr(0, header_bytes + 3 * record_bytes + 100));
  ASSERT_EQ(cut.values.size(), edflib.size());
  for (std::size_t s = 0; s < edflib.size(); ++s) {
    const std::size_t per_record = static_cast<std::size_t>(r.samples_per_record[s]);
    EXPECT_EQ(cut.values[s],
              std::vector<std::int32_t>(edflib[s].begin(), edflib[s].begin() + 3 * per_record));
  }
  ASSERT_EQ(cut.warnings.size(), 2u);
  EXPECT_EQ(cut.warnings[0].kind, WarningKind::kCutShort);
  EXPECT_EQ(cut.warnings[0].count, 3u);
  EXPECT_EQ(cut.warnings[1].kind, WarningKind::kIncompleteRecord);
  EXPECT_EQ(cut.warnings[1].count, 100u);
}

}  // namespace
}  // namespace maroquint::edf
