// Reads XDF 1.0 files, bounded and without I/O: bytes go in (all at once
// or in pieces of any size), streams come out.
//
// Two ways to read, over one parser:
//  - Parser hands each chunk to a Sink as it completes and keeps only the
//    chunk it is framing, so a file of any length is read in the memory of
//    its largest chunk;
//  - Reader (and Read) collects every stream's samples into a File.
//
// The parser walks the file chunk by chunk. A chunk whose content makes no
// sense is skipped with a warning; where the framing itself is broken, it
// searches for the next Boundary chunk and goes on from there; a file cut
// short loads up to its last complete chunk. Warnings are counted per kind.
// A limit reached (Limits) is not damage: reading stops there with an error
// that names the limit. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "format.h"

namespace maroquint::xdf {

// Why a reading stopped: a limit reached. Damage is no error but a
// warning (Warning), and the reading goes on past it.
enum class ErrorCode {
  kChunkTooLarge,    // Limits::max_chunk_bytes
  kTooManyChannels,  // Limits::max_channels
  kTooManyStreams,   // Limits::max_streams
  kTooManyValues,    // Limits::max_values, of a Reader
  kSinkLimit,        // a limit of the sink's own (Sink::Stop)
};

using Status = base::Status<ErrorCode>;

// What one file may make the reader hold. Reaching one stops the reading
// with an error naming it.
struct Limits {
  std::uint64_t max_chunk_bytes = std::uint64_t{256} << 20;
  std::size_t max_streams = 1024;
  int max_channels = 65536;
  // Samples × channels a Reader stores for the whole file; a Parser stores
  // no values and ignores it.
  std::uint64_t max_values = std::uint64_t{1} << 27;
};

// A kind of problem met in a file, how often, and where first.
struct Warning {
  std::string kind;  // a fixed text per kind, e.g. "damaged chunk; ..."
  std::uint64_t count = 0;
  std::string first;  // e.g. "at byte 1234, stream 2"
};

struct StreamInfo {
  std::string name;
  std::string type;
  std::string source_id;
  int channel_count = 0;
  ChannelFormat format = ChannelFormat::kFloat32;
  double nominal_srate = 0;
};

struct ClockOffsetMeasurement {
  double collection_time;  // recorder's clock
  double value;            // add to the stream's time stamps to get the recorder's clock
};

// The samples of one Samples chunk, checked whole before they are handed
// over; valid during the Sink call only.
class SampleChunk {
 public:
  std::uint32_t StreamId() const { return stream_id_; }
  const StreamInfo &Info() const { return *info_; }
  std::size_t Size() const { return stamps_.size(); }
  // Sender's clock, as recorded; deduced ones filled in.
  const std::vector<double> &TimeStamps() const { return stamps_; }
  // Numeric streams: the value of `channel` (from 0) of sample `sample` (int64
  // beyond 2^53 loses precision).
  double Value(std::size_t sample, int channel) const;
  // Numeric streams: `channel` of every sample, into `out` (resized).
  void Channel(int channel, std::vector<double> &out) const;
  // String streams: the text of `channel` of sample `sample`.
  std::string_view Text(std::size_t sample, int channel) const;

 private:
  friend class Parser;
  std::uint32_t stream_id_ = 0;
  const StreamInfo *info_ = nullptr;
  std::string_view content_;
  std::vector<double> stamps_;
  // Numeric: per sample, where its first value starts in content_. Strings:
  // per value, where its text starts and ends.
  std::vector<std::size_t> starts_;
  std::vector<std::size_t> ends_;
};

// What a parser hands over, chunk by chunk, in file order. Every view is
// valid during the call only.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void OnFileHeader(std::string_view /*xml*/) {}
  // A stream header that reads as a stream; its chunks follow.
  virtual void OnStreamHeader(std::uint32_t /*id*/, std::string_view /*xml*/,
                              const StreamInfo & /*info*/) {}
  virtual void OnSamples(const SampleChunk & /*chunk*/) {}
  virtual void OnClockOffset(std::uint32_t /*id*/, const ClockOffsetMeasurement & /*offset*/) {}
  // `footer` is null when the footer is not XML.
  virtual void OnFooter(std::uint32_t /*id*/, std::string_view /*xml*/,
                        const FooterInfo * /*footer*/) {}

  // Called from a callback: the reading stops after it, with this error
  // (kSinkLimit for a limit of the sink's own, its message naming it) as
  // the parser's status.
  void Stop(ErrorCode code, std::string message) {
    if (stop_.Ok()) stop_ = base::Fail(code, std::move(message));
  }
  const Status &StopStatus() const { return stop_; }

 private:
  Status stop_;
};

class Parser {
 public:
  explicit Parser(Sink &sink, Limits limits = {});

  // Takes the next bytes of the file and hands over every chunk they
  // complete. Bytes after an error are ignored.
  void Feed(std::string_view bytes);

  // Ends the file: what remains of an incomplete chunk is reported and
  // dropped.
  void End();

  // Ok until a limit is reached; the parser then stops.
  const Status &Outcome() const { return status_; }
  const std::vector<Warning> &Warnings() const { return warnings_; }
  // Whether the bytes so far begin like an XDF file.
  bool MagicSeen() const { return magic_seen_; }

 private:
  enum class State { kStart, kChunks, kResync, kStopped };
  enum class Step { kNeedMore, kDone, kLost };
  struct StreamState {
    std::uint32_t id;
    StreamInfo info;
    double last_stamp = 0;
  };

  void Parse();
  Step ParseChunk();
  bool TooLongChunkIsReal(std::string_view after_length) const;
  void HandleChunk(Tag tag, std::string_view content, std::uint64_t at);
  void HandleStreamHeader(std::string_view content, std::uint64_t at);
  void HandleSamples(StreamState &stream, std::string_view content, std::uint64_t at);
  void HandleClockOffset(StreamState &stream, std::string_view content, std::uint64_t at);
  void HandleFooter(StreamState &stream, std::string_view content, std::uint64_t at);
  bool Resync();
  StreamState *FindStream(std::uint32_t id);
  void Warn(std::string_view kind, std::uint64_t at, std::string detail = {});
  void Fail(ErrorCode code, std::string message);
  void CheckSink();

  Sink &sink_;
  Limits limits_;
  State state_ = State::kStart;
  bool magic_seen_ = false;
  // The bytes being parsed: the caller's piece, or buffer_ where a chunk
  // spans pieces.
  std::string_view data_;
  std::string buffer_;
  std::size_t pos_ = 0;     // first unread byte of data_
  std::uint64_t base_ = 0;  // file offset of data_[0]
  std::size_t need_ = 0;    // bytes from pos_ the parser needs to go on
  std::vector<StreamState> streams_;
  SampleChunk chunk_;
  std::vector<Warning> warnings_;
  Status status_;
};

// Everything a file holds, collected.
struct Stream {
  std::uint32_t id = 0;
  std::string header_xml;
  StreamInfo info;
  std::vector<double> time_stamps;  // sender's clock, as recorded; deduced ones filled in
  // info.channel_count values per sample: `strings` for string streams,
  // `values` for numeric ones (int64 beyond 2^53 loses precision).
  std::vector<double> values;
  std::vector<std::string> strings;
  std::vector<ClockOffsetMeasurement> clock_offsets;
  std::optional<std::string> footer_xml;
  std::optional<FooterInfo> footer;

  std::size_t SampleCount() const { return time_stamps.size(); }
};

struct File {
  std::string header_xml;
  std::vector<Stream> streams;  // in the order of their headers
  std::vector<Warning> warnings;
  // Ok, or the limit that stopped the reading: the streams then hold what
  // came before it.
  Status status;

  // The first stream of that name, or nullptr.
  const Stream *FindByName(std::string_view name) const;
};

class Reader {
 public:
  explicit Reader(Limits limits = {});
  ~Reader();
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  // Takes the next bytes of the file and reads every chunk they complete.
  void Feed(std::string_view bytes);

  // Ends the file: what remains of an incomplete chunk is reported and
  // dropped. The reader is spent afterwards.
  File Finish();

 private:
  class Collector;
  std::unique_ptr<Collector> collector_;
  Parser parser_;
};

// Reads a whole file held in memory.
File Read(std::string_view bytes, const Limits &limits = {});

}  // namespace maroquint::xdf
