// The trigger onsets of BDF files that Debian's EDFlib writes, read by our
// reader, against the onsets in the values EDFlib reads back: whole, cut
// short by a crash, with an unknown record count; and what the user is told
// when a file cannot give them.
#include <edflib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "inputs.h"
#include "onsets.h"
#include "test_files.h"

namespace maroquint::align {
namespace {

constexpr int kRate = 2048;
constexpr int kRecords = 5;

class EdfTrigger : public test::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    path_ = Path("eeg.bdf");
    WriteBdf();
    bytes_ = test::ReadFile(path_);
  }

  // A BDF+ file: an EEG channel, the Status channel with a pulse on bit 0
  // every 683 samples (the third across the first record's end) and bit 1 toggling, and
  // a second trigger-like channel at a lower rate. Status bits 16 to 23 are
  // set, as BioSemi sets them, which makes the values negative.
  void WriteBdf() {
    const int handle = edfopen_file_writeonly(path_.c_str(), EDFLIB_FILETYPE_BDFPLUS, 3);
    ASSERT_GE(handle, 0);
    const int rates[] = {kRate, kRate, 256};
    const char *labels[] = {"Fp1", "Status", "Trigger"};
    for (int s = 0; s < 3; ++s) {
      edf_set_samplefrequency(handle, s, rates[s]);
      edf_set_digital_maximum(handle, s, 8388607);
      edf_set_digital_minimum(handle, s, -8388608);
      edf_set_physical_maximum(handle, s, 262143);
      edf_set_physical_minimum(handle, s, -262144);
      edf_set_label(handle, s, labels[s]);
    }
    std::vector<int> values(kRate);
    for (int record = 0; record < kRecords; ++record) {
      for (int s = 0; s < 3; ++s) {
        values.resize(static_cast<std::size_t>(rates[s]));
        for (int i = 0; i < rates[s]; ++i) {
          const int n = record * rates[s] + i;
          values[static_cast<std::size_t>(i)] =
              s == 1 ? (((n + 3) % 683 < 7 ? 1 : 0) | ((n / 3) % 2 << 1) | -0x10000)
                     : (n * 37) % 4000;
        }
        ASSERT_EQ(edfwrite_digital_samples(handle, values.data()), 0);
      }
    }
    ASSERT_EQ(edfclose_file(handle), 0);
  }

  // The onsets of bit `bit` of the Status channel as EDFlib reads it, in
  // the first `records` records.
  EdgeDetector EdflibOnsets(int bit, int records) const {
    auto header = std::make_unique<edf_hdr_struct>();
    EXPECT_EQ(edfopen_file_readonly(path_.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS),
              0);
    std::vector<int> status(static_cast<std::size_t>(records) * kRate);
    EXPECT_EQ(
        edfread_digital_samples(header->handle, 1, static_cast<int>(status.size()), status.data()),
        static_cast<int>(status.size()));
    edfclose_file(header->handle);
    EdgeDetector detector(bit);
    detector.Feed(status.data(), status.size());
    return detector;
  }

  // Three signals and EDFlib's annotation signal.
  std::size_t HeaderBytes() const { return 256 * 5; }
  std::size_t RecordBytes() const { return (bytes_.size() - HeaderBytes()) / kRecords; }

  std::string path_;
  std::string bytes_;
};

TEST_F(EdfTrigger, FindsTheOnsetsEdflibReads) {
  for (const int bit : {0, 1}) {
    const auto read = ReadEdfTrigger(path_, "status", bit);
    ASSERT_TRUE(read.Ok()) << read.Message();
    const EegTrigger &trigger = *read;
    const EdgeDetector edflib = EdflibOnsets(bit, kRecords);
    ASSERT_FALSE(edflib.Onsets().empty());
    EXPECT_EQ(trigger.onsets, edflib.Onsets());
    EXPECT_EQ(trigger.high_samples, edflib.HighSamples());
    EXPECT_EQ(trigger.samples, kRecords * kRate);
    EXPECT_DOUBLE_EQ(trigger.rate, kRate);
    EXPECT_EQ(trigger.trigger_like_channels, std::vector<std::string>{"Trigger"});
    EXPECT_TRUE(trigger.warnings.empty());
    EXPECT_NE(trigger.description.find("channel Status, bit " + std::to_string(bit)),
              std::string::npos);
  }
}

// The experiment's triggers on bits 1 to 7 beside the pulse on bit 0: only
// bit 1 moves there, so their onsets are bit 1's, and bit 0 keeps its own.
TEST_F(EdfTrigger, FindsTheOnsetsOfTheCheckedBitsInTheSamePass) {
  const auto trigger = ReadEdfTrigger(path_, "Status", 0, 0xFE);
  ASSERT_TRUE(trigger.Ok()) << trigger.Message();
  EXPECT_EQ(trigger->onsets, EdflibOnsets(0, kRecords).Onsets());
  const EdgeDetector bit1 = EdflibOnsets(1, kRecords);
  ASSERT_FALSE(bit1.Onsets().empty());
  EXPECT_EQ(trigger->check_onsets, bit1.Onsets());
  const auto unchecked = ReadEdfTrigger(path_, "Status", 0);
  ASSERT_TRUE(unchecked.Ok()) << unchecked.Message();
  EXPECT_TRUE(unchecked->check_onsets.empty());
  const auto beyond = ReadEdfTrigger(path_, "Status", 0, 0x1000000);
  ASSERT_FALSE(beyond.Ok());
  EXPECT_EQ(beyond.Code(), InputError::kUnsupported);
  EXPECT_NE(beyond.Message().find("beyond the 24 bits"), std::string::npos) << beyond.Message();
}

TEST_F(EdfTrigger, AFileCutShortGivesTheOnsetsOfItsCompleteRecordsWithWarnings) {
  const std::size_t length = HeaderBytes() + 3 * RecordBytes() + 1000;
  const std::string cut = Write("cut.bdf", bytes_.substr(0, length));
  const auto read = ReadEdfTrigger(cut, "Status", 0);
  ASSERT_TRUE(read.Ok()) << read.Message();
  const EegTrigger &trigger = *read;
  const EdgeDetector edflib = EdflibOnsets(0, 3);
  EXPECT_EQ(trigger.onsets, edflib.Onsets());
  EXPECT_EQ(trigger.samples, 3 * kRate);
  ASSERT_EQ(trigger.warnings.size(), 2u);
  EXPECT_NE(trigger.warnings[0].kind.find("ends before the records its header announces"),
            std::string::npos);
  EXPECT_EQ(trigger.warnings[0].count, 2u);
  EXPECT_EQ(trigger.warnings[0].first, "at byte " + std::to_string(length));
  EXPECT_NE(trigger.warnings[1].kind.find("inside a record"), std::string::npos);
  EXPECT_EQ(trigger.warnings[1].count, 1000u);
}

TEST_F(EdfTrigger, AnUnknownRecordCountReadsToTheEndWithAWarning) {
  std::string unclosed = bytes_;
  unclosed.replace(236, 8, "-1      ");
  const auto read = ReadEdfTrigger(Write("unclosed.bdf", unclosed), "Status", 0);
  ASSERT_TRUE(read.Ok()) << read.Message();
  const EegTrigger &trigger = *read;
  EXPECT_EQ(trigger.onsets, EdflibOnsets(0, kRecords).Onsets());
  ASSERT_EQ(trigger.warnings.size(), 1u);
  EXPECT_NE(trigger.warnings[0].kind.find("record count is -1"), std::string::npos);
  EXPECT_EQ(trigger.warnings[0].count, static_cast<std::size_t>(kRecords));
}

TEST_F(EdfTrigger, SaysWhatTheFileIsWhenItCannotGiveTheOnsets) {
  std::string discontinuous = bytes_;
  discontinuous.replace(192, 5, "BDF+D");
  const struct {
    std::string path;
    std::string channel;
    int bit;
    InputError code;
    std::string error;
  } cases[] = {
      {Path("none.bdf"), "Status", 0, InputError::kCannotRead,
       Path("none.bdf") + ": cannot open the file: " + std::strerror(ENOENT)},
      {Write("empty.bdf", ""), "Status", 0, InputError::kNotEdf,
       Path("empty.bdf") + ": empty file, where an EDF or BDF file was expected"},
      {Write("x.bdf", "XDF:" + std::string(500, '\0')), "Status", 0, InputError::kNotEdf,
       Path("x.bdf") +
           ": not an EDF or BDF file: the header's version field is \"XDF:\\x00\\x00\\x00\\x00\", "
           "where EDF has \"0\" and BDF has \"\\xFFBIOSEMI\""},
      {Write("short.bdf", bytes_.substr(0, 1000)), "Status", 0, InputError::kNotEdf,
       Path("short.bdf") + ": not a complete BDF+ file: the header announces 4 signals (1280 "
                           "header bytes) but the file holds 1000 bytes"},
      {path_, "Trig", 0, InputError::kNoChannel,
       path_ + ": no channel 'Trig' (channels: 'Fp1', 'Status', 'Trigger')"},
      {path_, "Status", 24, InputError::kUnsupported,
       path_ + ": bit 24 is beyond the 24 bits of a BDF+ sample"},
      {Write("d.bdf", discontinuous), "Status", 0, InputError::kUnsupported,
       Path("d.bdf") + ": a discontinuous BDF+ file (BDF+D): its records may have gaps in time, "
                       "which sample numbers cannot show; a continuous file (BDF+C, or plain "
                       "BDF) was expected"},
  };
  for (const auto &c : cases) {
    const auto read = ReadEdfTrigger(c.path, c.channel, c.bit);
    ASSERT_FALSE(read.Ok()) << c.path;
    EXPECT_EQ(read.Code(), c.code) << c.error;
    // The message is what the person who chose the file reads.
    EXPECT_EQ(read.Message(), c.error);
  }
}

}  // namespace
}  // namespace maroquint::align
