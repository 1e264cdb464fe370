#include "reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <pugixml.hpp>
#include <type_traits>
#include <utility>

namespace maroquint::xdf {
namespace {

// A bounds-checked view of a chunk's content; every read fails rather than
// run past the end.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

  template <typename T>
  bool Read(T &value) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (bytes_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(&value, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }

  bool ReadVarLen(std::uint64_t &value) {
    std::uint8_t width = 0;
    if (!Read(width)) return false;
    switch (width) {
      case 1: {
        std::uint8_t v;
        if (!Read(v)) return false;
        value = v;
        return true;
      }
      case 4: {
        std::uint32_t v;
        if (!Read(v)) return false;
        value = v;
        return true;
      }
      case 8:
        return Read(value);
      default:
        return false;
    }
  }

  bool ReadBytes(std::size_t count, std::string_view &out) {
    if (bytes_.size() - pos_ < count) return false;
    out = bytes_.substr(pos_, count);
    pos_ += count;
    return true;
  }

  std::size_t Remaining() const { return bytes_.size() - pos_; }
  std::string_view Rest() const { return bytes_.substr(pos_); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

bool ParseXml(pugi::xml_document &doc, std::string_view xml) {
  return static_cast<bool>(doc.load_buffer(xml.data(), xml.size()));
}

template <typename T>
T Load(const char *at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

double LoadValue(const char *at, ChannelFormat format) {
  switch (format) {
    case ChannelFormat::kFloat32:
      return Load<float>(at);
    case ChannelFormat::kDouble64:
      return Load<double>(at);
    case ChannelFormat::kInt8:
      return Load<std::int8_t>(at);
    case ChannelFormat::kInt16:
      return Load<std::int16_t>(at);
    case ChannelFormat::kInt32:
      return Load<std::int32_t>(at);
    case ChannelFormat::kInt64:
      return static_cast<double>(Load<std::int64_t>(at));
    case ChannelFormat::kString:
      break;
  }
  return 0;
}

template <typename T>
void LoadChannel(std::string_view content, const std::vector<std::size_t> &starts,
                 std::size_t offset, std::vector<double> &out) {
  for (std::size_t i = 0; i < starts.size(); ++i) {
    out[i] = static_cast<double>(Load<T>(content.data() + starts[i] + offset));
  }
}

std::string At(std::uint64_t offset) {
  return "at byte " + std::to_string(offset);
}

// A name as messages show it: a file may name a stream with megabytes.
std::string Shown(const std::string &name) {
  constexpr std::size_t kShown = 80;
  return name.size() <= kShown ? name : name.substr(0, kShown) + "...";
}

std::string StreamLabel(std::uint32_t id, const StreamInfo &info) {
  return "stream " + std::to_string(id) + " ('" + Shown(info.name) + "')";
}

// The kinds of warnings: fixed texts, so that a file damaged all over
// gives a few counted kinds, not a line per occurrence.
constexpr std::string_view kNotXdf = "not an XDF file: it does not begin with \"XDF:\"";
constexpr std::string_view kTooShort = "not an XDF file: too short";
constexpr std::string_view kDamaged = "damaged chunk; skipped to the next boundary chunk";
constexpr std::string_view kIncomplete =
    "incomplete chunk before the end; went on from the next boundary chunk";
constexpr std::string_view kCut = "the file ends inside a chunk (cut short); that chunk is lost";
constexpr std::string_view kUnknownTag = "chunk of an unknown tag, skipped";
constexpr std::string_view kNoId = "chunk too short for a stream id, skipped";
constexpr std::string_view kNoHeader = "chunks of a stream without its header, skipped";
constexpr std::string_view kShortHeader = "stream header too short, skipped";
constexpr std::string_view kSecondHeader = "second header of a stream, ignored";
constexpr std::string_view kHeaderNotXml = "stream header is not XML; stream ignored";
constexpr std::string_view kBadHeader =
    "stream header without a usable channel count or format; stream ignored";
constexpr std::string_view kNoCount = "samples chunk without a sample count, skipped";
constexpr std::string_view kTooMany =
    "samples chunk announcing more samples than it holds, skipped";
constexpr std::string_view kBadStamp =
    "samples chunk with a time stamp of neither 0 nor 8 bytes, skipped";
constexpr std::string_view kEndsInside = "samples chunk ending inside a sample, skipped";
constexpr std::string_view kTrailing = "samples chunk with bytes after its samples (kept)";
constexpr std::string_view kShortOffset = "clock offset chunk too short, skipped";
constexpr std::string_view kFooterNotXml = "stream footer is not XML";

}  // namespace

double SampleChunk::Value(std::size_t sample, int channel) const {
  const ChannelFormat format = info_->format;
  return LoadValue(
      content_.data() + starts_[sample] + static_cast<std::size_t>(channel) * FormatSize(format),
      format);
}

void SampleChunk::Channel(int channel, std::vector<double> &out) const {
  out.resize(starts_.size());
  const std::size_t offset = static_cast<std::size_t>(channel) * FormatSize(info_->format);
  switch (info_->format) {
    case ChannelFormat::kFloat32:
      return LoadChannel<float>(content_, starts_, offset, out);
    case ChannelFormat::kDouble64:
      return LoadChannel<double>(content_, starts_, offset, out);
    case ChannelFormat::kInt8:
      return LoadChannel<std::int8_t>(content_, starts_, offset, out);
    case ChannelFormat::kInt16:
      return LoadChannel<std::int16_t>(content_, starts_, offset, out);
    case ChannelFormat::kInt32:
      return LoadChannel<std::int32_t>(content_, starts_, offset, out);
    case ChannelFormat::kInt64:
      return LoadChannel<std::int64_t>(content_, starts_, offset, out);
    case ChannelFormat::kString:
      out.assign(out.size(), 0.0);
      return;
  }
}

std::string_view SampleChunk::Text(std::size_t sample, int channel) const {
  const std::size_t index =
      sample * static_cast<std::size_t>(info_->channel_count) + static_cast<std::size_t>(channel);
  return content_.substr(starts_[index], ends_[index] - starts_[index]);
}

Parser::Parser(Sink &sink, Limits limits) : sink_(sink), limits_(limits) {}

void Parser::Feed(std::string_view bytes) {
  while (!bytes.empty() && state_ != State::kStopped) {
    if (buffer_.empty()) {
      // Chunks that lie whole in the caller's piece are parsed where they
      // are; only the piece's unfinished tail is kept.
      data_ = bytes;
      pos_ = 0;
      Parse();
      if (state_ != State::kStopped) buffer_.assign(bytes.substr(pos_));
      base_ += pos_;
      pos_ = 0;
      data_ = {};
      return;
    }
    // A chunk spans pieces: the buffer gets what it lacks, no more, and
    // the rest of the piece is parsed where it is.
    const std::size_t held = buffer_.size();
    const std::size_t take = need_ > held ? std::min(bytes.size(), need_ - held) : bytes.size();
    buffer_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    data_ = buffer_;
    pos_ = 0;
    Parse();
    base_ += pos_;
    buffer_.erase(0, pos_);
    pos_ = 0;
    data_ = {};
  }
  if (state_ == State::kStopped) {
    buffer_.clear();
    buffer_.shrink_to_fit();
  }
}

void Parser::Parse() {
  for (;;) {
    switch (state_) {
      case State::kStopped:
        return;
      case State::kStart:
        if (data_.size() - pos_ < kMagic.size()) {
          need_ = kMagic.size();
          return;
        }
        if (data_.substr(pos_, kMagic.size()) != kMagic) {
          Warn(kNotXdf, base_ + pos_);
          state_ = State::kStopped;
          return;
        }
        magic_seen_ = true;
        pos_ += kMagic.size();
        state_ = State::kChunks;
        break;
      case State::kChunks:
        switch (ParseChunk()) {
          case Step::kNeedMore:
            return;
          case Step::kDone:
            break;
          case Step::kLost:
            Warn(kDamaged, base_ + pos_);
            ++pos_;
            state_ = State::kResync;
            break;
        }
        break;
      case State::kResync:
        if (!Resync()) {
          need_ = std::numeric_limits<std::size_t>::max();
          return;
        }
        state_ = State::kChunks;
        break;
    }
  }
}

bool Parser::Resync() {
  const std::size_t found = data_.find(kBoundaryBytes, pos_);
  if (found == std::string_view::npos) {
    // Keep what could be the start of the boundary bytes.
    if (data_.size() - pos_ >= kBoundaryBytes.size()) {
      pos_ = data_.size() - (kBoundaryBytes.size() - 1);
    }
    return false;
  }
  pos_ = found + kBoundaryBytes.size();
  return true;
}

// A length beyond the limit is mostly damage; but when the chunk's tag and
// stream id read as those of a real chunk, it is a chunk too long to hold,
// and dropping it would silently lose data.
bool Parser::TooLongChunkIsReal(std::string_view after_length) const {
  Cursor cursor{after_length};
  std::uint16_t tag = 0;
  std::uint32_t id = 0;
  if (!cursor.Read(tag) || !cursor.Read(id)) return false;
  const bool known = std::any_of(streams_.begin(), streams_.end(),
                                 [&](const StreamState &s) { return s.id == id; });
  switch (static_cast<Tag>(tag)) {
    case Tag::kStreamHeader:
      return !known;
    case Tag::kSamples:
    case Tag::kClockOffset:
    case Tag::kStreamFooter:
      return known;
    default:
      return false;
  }
}

Parser::Step Parser::ParseChunk() {
  const std::string_view rest = data_.substr(pos_);
  Cursor cursor{rest};
  std::uint8_t width = 0;
  if (!cursor.Read(width)) {
    need_ = 1;
    return Step::kNeedMore;
  }
  if (width != 1 && width != 4 && width != 8) return Step::kLost;
  Cursor length_cursor{rest};
  std::uint64_t length = 0;
  if (!length_cursor.ReadVarLen(length)) {
    need_ = 1 + std::size_t{width};
    return Step::kNeedMore;
  }
  if (length < 2) return Step::kLost;
  if (length > limits_.max_chunk_bytes) {
    const std::size_t probe = 1 + std::size_t{width} + 6;
    if (rest.size() < probe) {
      need_ = probe;
      return Step::kNeedMore;
    }
    if (!TooLongChunkIsReal(length_cursor.Rest())) return Step::kLost;
    Fail(ErrorCode::kChunkTooLarge, "a chunk of " + std::to_string(length) + " bytes " +
                                        At(base_ + pos_) + " is beyond the XDF reader's limit of " +
                                        std::to_string(limits_.max_chunk_bytes) +
                                        " bytes per chunk (max_chunk_bytes)");
    return Step::kDone;
  }
  std::string_view chunk;
  if (!length_cursor.ReadBytes(static_cast<std::size_t>(length), chunk)) {
    need_ = 1 + std::size_t{width} + static_cast<std::size_t>(length);
    return Step::kNeedMore;
  }
  const std::uint16_t tag = Load<std::uint16_t>(chunk.data());
  const std::uint64_t at = base_ + pos_;
  pos_ += 1 + width + static_cast<std::size_t>(length);
  HandleChunk(static_cast<Tag>(tag), chunk.substr(2), at);
  return Step::kDone;
}

void Parser::HandleChunk(Tag tag, std::string_view content, std::uint64_t at) {
  switch (tag) {
    case Tag::kFileHeader:
      sink_.OnFileHeader(content);
      CheckSink();
      return;
    case Tag::kBoundary:
      return;
    case Tag::kStreamHeader:
      HandleStreamHeader(content, at);
      return;
    case Tag::kSamples:
    case Tag::kClockOffset:
    case Tag::kStreamFooter:
      break;
    default:
      Warn(kUnknownTag, at, "tag " + std::to_string(static_cast<unsigned>(tag)));
      return;
  }
  Cursor cursor{content};
  std::uint32_t id = 0;
  if (!cursor.Read(id)) {
    Warn(kNoId, at);
    return;
  }
  StreamState *stream = FindStream(id);
  if (stream == nullptr) {
    Warn(kNoHeader, at, "stream " + std::to_string(id));
    return;
  }
  if (tag == Tag::kSamples) HandleSamples(*stream, cursor.Rest(), at);
  if (tag == Tag::kClockOffset) HandleClockOffset(*stream, cursor.Rest(), at);
  if (tag == Tag::kStreamFooter) HandleFooter(*stream, cursor.Rest(), at);
}

void Parser::HandleStreamHeader(std::string_view content, std::uint64_t at) {
  Cursor cursor{content};
  std::uint32_t id = 0;
  if (!cursor.Read(id)) {
    Warn(kShortHeader, at);
    return;
  }
  if (FindStream(id) != nullptr) {
    Warn(kSecondHeader, at, "stream " + std::to_string(id));
    return;
  }
  const std::string_view xml = cursor.Rest();
  pugi::xml_document doc;
  if (!ParseXml(doc, xml)) {
    Warn(kHeaderNotXml, at, "stream " + std::to_string(id));
    return;
  }
  StreamInfo info;
  const pugi::xml_node node = doc.child("info");
  info.name = node.child_value("name");
  info.type = node.child_value("type");
  info.source_id = node.child_value("source_id");
  info.nominal_srate = node.child("nominal_srate").text().as_double(0);
  const long long channels = node.child("channel_count").text().as_llong(0);
  const auto format = ParseFormat(node.child_value("channel_format"));
  if (channels < 1 || !format) {
    Warn(kBadHeader, at, StreamLabel(id, info));
    return;
  }
  if (channels > limits_.max_channels) {
    Fail(ErrorCode::kTooManyChannels,
         StreamLabel(id, info) + " " + At(at) + " has " + std::to_string(channels) +
             " channels, beyond the XDF reader's limit of " + std::to_string(limits_.max_channels) +
             " channels (max_channels)");
    return;
  }
  if (streams_.size() >= limits_.max_streams) {
    Fail(ErrorCode::kTooManyStreams,
         StreamLabel(id, info) + " " + At(at) + " is beyond the XDF reader's limit of " +
             std::to_string(limits_.max_streams) + " streams (max_streams)");
    return;
  }
  if (!(info.nominal_srate >= 0)) info.nominal_srate = 0;
  info.channel_count = static_cast<int>(channels);
  info.format = *format;
  streams_.push_back({id, std::move(info)});
  sink_.OnStreamHeader(id, xml, streams_.back().info);
  CheckSink();
}

void Parser::HandleSamples(StreamState &stream, std::string_view content, std::uint64_t at) {
  const std::string where = "stream " + std::to_string(stream.id);
  Cursor cursor{content};
  std::uint64_t count = 0;
  if (!cursor.ReadVarLen(count)) {
    Warn(kNoCount, at, where);
    return;
  }
  const std::size_t channels = static_cast<std::size_t>(stream.info.channel_count);
  const bool strings = stream.info.format == ChannelFormat::kString;
  const std::size_t value_bytes = channels * FormatSize(stream.info.format);
  // A sample takes at least its time stamp byte and, per channel, a value
  // (a string at least its length's two bytes); this bounds what is reserved.
  const std::size_t min_bytes = 1 + (strings ? 2 * channels : value_bytes);
  if (count > cursor.Remaining() / min_bytes) {
    Warn(kTooMany, at, where);
    return;
  }
  const double step = stream.info.nominal_srate > 0 ? 1.0 / stream.info.nominal_srate : 0.0;
  const std::size_t begin = content.size() - cursor.Remaining();
  SampleChunk &chunk = chunk_;
  chunk.stamps_.clear();
  chunk.starts_.clear();
  chunk.ends_.clear();
  chunk.stamps_.reserve(count);
  chunk.starts_.reserve(strings ? count * channels : count);
  if (strings) chunk.ends_.reserve(count * channels);
  double last = stream.last_stamp;
  std::size_t p = begin;
  const char *bytes = content.data();
  const std::size_t size = content.size();
  bool whole = true;
  for (std::uint64_t i = 0; i < count && whole; ++i) {
    if (p >= size) {
      whole = false;
      break;
    }
    const auto stamp_bytes = static_cast<std::uint8_t>(bytes[p++]);
    if (stamp_bytes == 8) {
      if (size - p < 8) {
        whole = false;
        break;
      }
      last = Load<double>(bytes + p);
      p += 8;
    } else if (stamp_bytes == 0) {
      last += step;
    } else {
      Warn(kBadStamp, at, where);
      return;
    }
    chunk.stamps_.push_back(last);
    if (!strings) {
      if (size - p < value_bytes) {
        whole = false;
        break;
      }
      chunk.starts_.push_back(p);
      p += value_bytes;
      continue;
    }
    for (std::size_t c = 0; c < channels; ++c) {
      Cursor text{content.substr(p)};
      std::uint64_t length = 0;
      if (!text.ReadVarLen(length) || length > text.Remaining()) {
        whole = false;
        break;
      }
      p = size - text.Remaining();
      chunk.starts_.push_back(p);
      p += static_cast<std::size_t>(length);
      chunk.ends_.push_back(p);
    }
  }
  if (!whole) {
    Warn(kEndsInside, at, where);
    return;
  }
  if (p != size) Warn(kTrailing, at, where + ", " + std::to_string(size - p) + " bytes");
  stream.last_stamp = last;
  chunk.stream_id_ = stream.id;
  chunk.info_ = &stream.info;
  chunk.content_ = content;
  sink_.OnSamples(chunk);
  chunk.content_ = {};
  CheckSink();
}

void Parser::HandleClockOffset(StreamState &stream, std::string_view content, std::uint64_t at) {
  Cursor cursor{content};
  ClockOffsetMeasurement offset{};
  if (!cursor.Read(offset.collection_time) || !cursor.Read(offset.value)) {
    Warn(kShortOffset, at, "stream " + std::to_string(stream.id));
    return;
  }
  sink_.OnClockOffset(stream.id, offset);
  CheckSink();
}

void Parser::HandleFooter(StreamState &stream, std::string_view content, std::uint64_t at) {
  pugi::xml_document doc;
  if (!ParseXml(doc, content)) {
    Warn(kFooterNotXml, at, "stream " + std::to_string(stream.id));
    sink_.OnFooter(stream.id, content, nullptr);
    CheckSink();
    return;
  }
  const pugi::xml_node info = doc.child("info");
  FooterInfo footer;
  footer.first_timestamp = info.child("first_timestamp").text().as_double(0);
  footer.last_timestamp = info.child("last_timestamp").text().as_double(0);
  footer.sample_count = info.child("sample_count").text().as_ullong(0);
  for (const pugi::xml_node offset : info.child("clock_offsets").children("offset")) {
    footer.clock_offsets.push_back(
        {offset.child("time").text().as_double(0), offset.child("value").text().as_double(0)});
  }
  sink_.OnFooter(stream.id, content, &footer);
  CheckSink();
}

Parser::StreamState *Parser::FindStream(std::uint32_t id) {
  for (StreamState &stream : streams_) {
    if (stream.id == id) return &stream;
  }
  return nullptr;
}

void Parser::Warn(std::string_view kind, std::uint64_t at, std::string detail) {
  for (Warning &warning : warnings_) {
    if (warning.kind == kind) {
      ++warning.count;
      return;
    }
  }
  warnings_.push_back({std::string(kind), 1, At(at) + (detail.empty() ? "" : ", " + detail)});
}

void Parser::Fail(ErrorCode code, std::string message) {
  if (status_.Ok()) status_ = base::Fail(code, std::move(message));
  state_ = State::kStopped;
}

void Parser::CheckSink() {
  if (!sink_.StopStatus().Ok()) Fail(sink_.StopStatus().Code(), sink_.StopStatus().Message());
}

void Parser::End() {
  if (state_ == State::kStopped) return;
  data_ = buffer_;
  pos_ = 0;
  // What is left is an incomplete chunk, or garbage that looked like the
  // start of a long one: a boundary further on still lets the rest load.
  while (state_ == State::kChunks && pos_ < data_.size()) {
    const std::size_t found = data_.find(kBoundaryBytes, pos_ + 1);
    if (found == std::string_view::npos) break;
    Warn(kIncomplete, base_ + pos_);
    pos_ = found + kBoundaryBytes.size();
    Parse();
  }
  if (state_ == State::kStart) {
    Warn(kTooShort, base_ + pos_);
  } else if (state_ != State::kStopped && pos_ < data_.size()) {
    Warn(kCut, base_ + pos_, std::to_string(data_.size() - pos_) + " bytes");
  }
  state_ = State::kStopped;
  data_ = {};
  buffer_.clear();
  buffer_.shrink_to_fit();
}

// Collects every stream of the file, values and all, within max_values.
class Reader::Collector : public Sink {
 public:
  explicit Collector(const Limits &limits) : limits_(limits) {}

  void OnFileHeader(std::string_view xml) override { file.header_xml.assign(xml); }

  void OnStreamHeader(std::uint32_t id, std::string_view xml, const StreamInfo &info) override {
    Stream stream;
    stream.id = id;
    stream.header_xml.assign(xml);
    stream.info = info;
    file.streams.push_back(std::move(stream));
  }

  void OnSamples(const SampleChunk &chunk) override {
    Stream &stream = Find(chunk.StreamId());
    const int channels = stream.info.channel_count;
    const std::uint64_t values = std::uint64_t{chunk.Size()} * static_cast<unsigned>(channels);
    if (values_ + values > limits_.max_values) {
      Stop(ErrorCode::kTooManyValues, StreamLabel(stream.id, stream.info) +
                                          ": the file holds more than the XDF reader's limit of " +
                                          std::to_string(limits_.max_values) +
                                          " values, samples × channels (max_values)");
      return;
    }
    values_ += values;
    stream.time_stamps.insert(stream.time_stamps.end(), chunk.TimeStamps().begin(),
                              chunk.TimeStamps().end());
    const bool strings = stream.info.format == ChannelFormat::kString;
    for (std::size_t i = 0; i < chunk.Size(); ++i) {
      for (int c = 0; c < channels; ++c) {
        if (strings) {
          stream.strings.emplace_back(chunk.Text(i, c));
        } else {
          stream.values.push_back(chunk.Value(i, c));
        }
      }
    }
  }

  void OnClockOffset(std::uint32_t id, const ClockOffsetMeasurement &offset) override {
    Find(id).clock_offsets.push_back(offset);
  }

  void OnFooter(std::uint32_t id, std::string_view xml, const FooterInfo *footer) override {
    Stream &stream = Find(id);
    stream.footer_xml.emplace(xml);
    if (footer != nullptr) stream.footer = *footer;
  }

  File file;

 private:
  // The parser hands over chunks of the streams whose headers it handed
  // over, and the collector keeps every one of those.
  Stream &Find(std::uint32_t id) {
    if (file.streams[last_].id != id) {
      for (std::size_t s = 0; s < file.streams.size(); ++s) {
        if (file.streams[s].id == id) last_ = s;
      }
    }
    return file.streams[last_];
  }

  Limits limits_;
  std::uint64_t values_ = 0;
  std::size_t last_ = 0;
};

const Stream *File::FindByName(std::string_view name) const {
  for (const Stream &stream : streams) {
    if (stream.info.name == name) return &stream;
  }
  return nullptr;
}

Reader::Reader(Limits limits)
    : collector_(std::make_unique<Collector>(limits)), parser_(*collector_, limits) {}

Reader::~Reader() = default;

void Reader::Feed(std::string_view bytes) {
  parser_.Feed(bytes);
}

File Reader::Finish() {
  parser_.End();
  File file = std::move(collector_->file);
  file.warnings = parser_.Warnings();
  file.status = parser_.Outcome();
  return file;
}

File Read(std::string_view bytes, const Limits &limits) {
  Reader reader{limits};
  reader.Feed(bytes);
  return reader.Finish();
}

}  // namespace maroquint::xdf
