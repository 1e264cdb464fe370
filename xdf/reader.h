// Reads XDF 1.0 files, bounded and without I/O: bytes go in (all at once
// or in pieces of any size), streams come out.
//
// The reader walks the file chunk by chunk. A chunk whose content makes no
// sense is skipped with a warning; where the framing itself is broken, it
// searches for the next Boundary chunk and goes on from there; a file cut
// short loads up to its last complete chunk. Problems never throw: they
// end up in File::warnings, and what could be read is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace maroquint::xdf {

// What one file may make the reader hold; a chunk or stream beyond these
// is skipped with a warning.
struct Limits {
  std::uint64_t max_chunk_bytes = std::uint64_t{256} << 20;
  std::size_t max_streams = 1024;
  int max_channels = 65536;
  std::uint64_t max_values = std::uint64_t{1} << 27;  // samples × channels, the whole file
  std::size_t max_warnings = 50;
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
  std::vector<std::string> warnings;

  // The first stream of that name, or nullptr.
  const Stream *FindByName(std::string_view name) const;
};

class Reader {
 public:
  explicit Reader(Limits limits = {});

  // Takes the next bytes of the file and reads every chunk they complete.
  void Feed(std::string_view bytes);

  // Ends the file: what remains of an incomplete chunk is reported and
  // dropped. The reader is spent afterwards.
  File Finish();

 private:
  enum class State { kStart, kChunks, kResync, kStopped };
  enum class Step { kNeedMore, kDone, kLost };

  void Parse();
  Step ParseChunk();
  void HandleChunk(Tag tag, std::string_view content, std::uint64_t at);
  void HandleStreamHeader(std::string_view content, std::uint64_t at);
  void HandleSamples(Stream &stream, std::string_view content, std::uint64_t at);
  void HandleClockOffset(Stream &stream, std::string_view content, std::uint64_t at);
  void HandleFooter(Stream &stream, std::string_view content, std::uint64_t at);
  bool Resync();
  Stream *FindStream(std::uint32_t id);
  void Warn(std::string message);
  void Compact();

  Limits limits_;
  State state_ = State::kStart;
  std::string buffer_;
  std::size_t pos_ = 0;       // first unread byte of buffer_
  std::uint64_t base_ = 0;    // file offset of buffer_[0]
  std::uint64_t values_ = 0;  // values held so far, against limits_.max_values
  std::set<std::uint32_t> unknown_ids_;
  File file_;
  std::size_t warnings_dropped_ = 0;
};

// Reads a whole file held in memory.
File Read(std::string_view bytes, const Limits &limits = {});

}  // namespace maroquint::xdf
