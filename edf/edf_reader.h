// Reads EDF, EDF+, BDF and BDF+ files, bounded and without I/O: bytes go in
// (all at once or in pieces of any size), the header and then one data
// record at a time come out, so a file of any length is read in the memory
// of one piece and one record.
//
// A file cut short (its record count left at -1 by a recorder that never
// closed it, or larger than what the file holds) reads up to its last
// complete record, with warnings that say so. A header that makes no sense
// stops the reader with an error that says what was found and what was
// expected. Nothing throws.
//
// EDF+D and BDF+D files ("discontinuous") are read record after record like
// the others, with Header::discontinuous set: their records may have gaps
// in time between them, told only by the annotation signal, which this
// reader does not interpret. A caller that needs continuous time refuses
// them (maroquint-align does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace maroquint::edf {

// What one file may make the reader hold; a header beyond these is refused.
struct Limits {
  int max_signals = 4096;
  int max_samples_per_record = 1 << 22;
  std::size_t max_record_bytes = std::size_t{64} << 20;
};

enum class Format {
  kEdf,  // 16-bit samples
  kBdf,  // 24-bit samples
};

struct Signal {
  std::string label;  // trailing spaces removed, as all text fields
  std::string transducer;
  std::string physical_dimension;
  double physical_min = 0;
  double physical_max = 0;
  std::int32_t digital_min = 0;
  std::int32_t digital_max = 0;
  std::string prefiltering;
  int samples_per_record = 0;
  // EDF+/BDF+ "EDF Annotations" / "BDF Annotations": text, not samples.
  bool annotations = false;
};

struct Header {
  Format format = Format::kEdf;
  bool plus = false;           // EDF+ or BDF+
  bool discontinuous = false;  // EDF+D or BDF+D: records may have gaps in time between them
  std::string patient;
  std::string recording;
  std::string start_date;  // dd.mm.yy, as written
  std::string start_time;  // hh.mm.ss, as written
  std::int64_t header_bytes = 0;
  std::int64_t records = -1;  // as announced; -1: unknown
  double record_duration_s = 0;
  std::vector<Signal> signals;

  int SampleBytes() const { return format == Format::kBdf ? 3 : 2; }
  std::size_t RecordBytes() const;
};

// Why a file cannot be read; nothing more is read after one.
enum class ErrorCode {
  kEmpty,           // no bytes at all
  kNotEdf,          // the bytes do not begin as EDF or BDF
  kBadHeader,       // a header field makes no sense
  kHeaderCutShort,  // the file ends inside its header
  kRecordTooLarge,  // a data record beyond Limits::max_record_bytes
};

using Status = base::Status<ErrorCode>;

enum class WarningKind {
  kRecordCountUnknown,  // the header's record count is -1: read to the file's end
  kCutShort,            // the file ends before the records the header announces
  kIncompleteRecord,    // the bytes after the last complete record were dropped
  kTrailingBytes,       // bytes after the announced records were ignored
};

struct Warning {
  WarningKind kind;
  // kRecordCountUnknown: the complete records read; kCutShort: the records
  // missing; kIncompleteRecord, kTrailingBytes: the bytes dropped.
  std::uint64_t count = 0;
  std::uint64_t at_byte = 0;  // file offset where it was met
};

// A sentence for the report, e.g. "the file ends before the records its
// header announces (records missing)".
std::string Describe(WarningKind kind);

// Bytes as a message shows them: quoted, every byte that is not printable
// ASCII (and every quote or backslash) written as \xNN.
std::string Quote(std::string_view bytes);

class Reader {
 public:
  explicit Reader(Limits limits = {});

  // Takes the next bytes of the file. Bytes beyond the announced records
  // are counted, not kept. The reader keeps what it was fed until the
  // records are taken (NextRecord): take them after each piece, and memory
  // stays at about one piece and one record.
  void Feed(std::string_view bytes);

  // Ends the file: warnings about how it ends are set, and the records
  // still buffered can be read. Calling it again does nothing.
  void Finish();

  // The header, once its bytes are in and make sense.
  bool HasHeader() const { return state_ == State::kRecords; }
  const Header &FileHeader() const { return header_; }

  // Fails when the bytes are no EDF or BDF file; nothing more is read.
  const Status &Outcome() const { return status_; }

  // Moves to the next complete data record; false when none is buffered
  // (feed more, or the file has ended). The previous record is released.
  bool NextRecord();

  // The current record's digital values of signal `index` (from 0),
  // replacing `values`. Nothing for an index out of range.
  void Values(int index, std::vector<std::int32_t> &values) const;

  // Complete records handed out so far.
  std::int64_t RecordsRead() const { return records_read_; }

  // After Finish: how the file ended, when not as its header says.
  const std::vector<Warning> &Warnings() const { return warnings_; }

 private:
  enum class State { kFixedHeader, kSignalHeaders, kRecords, kFailed };

  void Parse();
  bool CheckVersion(std::string_view field);
  void ParseFixedHeader();
  void ParseSignalHeaders();
  void Fail(ErrorCode code, std::string message);
  void Compact();

  Limits limits_;
  State state_ = State::kFixedHeader;
  Header header_;
  std::vector<std::size_t> offsets_;  // byte offset of each signal within a record
  std::size_t record_bytes_ = 0;
  std::string buffer_;
  std::size_t pos_ = 0;                    // first byte of buffer_ not yet handed out
  std::size_t current_ = 0;                // first byte of the current record in buffer_
  bool has_current_ = false;               // a record is current
  std::uint64_t fed_ = 0;                  // bytes of the file fed so far
  std::uint64_t kept_ = 0;                 // of those, the bytes that reached buffer_
  std::uint64_t keep_limit_ = UINT64_MAX;  // header + announced records
  std::int64_t records_read_ = 0;
  bool finished_ = false;
  Status status_;
  std::vector<Warning> warnings_;
};

}  // namespace maroquint::edf
