#include "reader.h"

#include <cstring>
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

std::string At(std::uint64_t offset) {
  return " at byte " + std::to_string(offset);
}

// Reads one numeric value of `format` as a double.
bool ReadValue(Cursor &cursor, ChannelFormat format, double &out) {
  switch (format) {
    case ChannelFormat::kFloat32: {
      float v;
      if (!cursor.Read(v)) return false;
      out = v;
      return true;
    }
    case ChannelFormat::kDouble64:
      return cursor.Read(out);
    case ChannelFormat::kInt8: {
      std::int8_t v;
      if (!cursor.Read(v)) return false;
      out = v;
      return true;
    }
    case ChannelFormat::kInt16: {
      std::int16_t v;
      if (!cursor.Read(v)) return false;
      out = v;
      return true;
    }
    case ChannelFormat::kInt32: {
      std::int32_t v;
      if (!cursor.Read(v)) return false;
      out = v;
      return true;
    }
    case ChannelFormat::kInt64: {
      std::int64_t v;
      if (!cursor.Read(v)) return false;
      out = static_cast<double>(v);
      return true;
    }
    case ChannelFormat::kString:
      return false;
  }
  return false;
}

bool ParseXml(pugi::xml_document &doc, std::string_view xml) {
  return static_cast<bool>(doc.load_buffer(xml.data(), xml.size()));
}

}  // namespace

const Stream *File::FindByName(std::string_view name) const {
  for (const Stream &stream : streams) {
    if (stream.info.name == name) return &stream;
  }
  return nullptr;
}

Reader::Reader(Limits limits) : limits_(limits) {}

void Reader::Feed(std::string_view bytes) {
  if (state_ == State::kStopped) return;
  buffer_.append(bytes);
  Parse();
  Compact();
}

void Reader::Parse() {
  for (;;) {
    switch (state_) {
      case State::kStopped:
        return;
      case State::kStart:
        if (buffer_.size() - pos_ < kMagic.size()) return;
        if (std::string_view{buffer_}.substr(pos_, kMagic.size()) != kMagic) {
          Warn("not an XDF file: it does not begin with \"XDF:\"");
          state_ = State::kStopped;
          return;
        }
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
            Warn("damaged chunk" + At(base_ + pos_) + "; skipping to the next boundary chunk");
            ++pos_;
            state_ = State::kResync;
            break;
        }
        break;
      case State::kResync:
        if (!Resync()) return;
        state_ = State::kChunks;
        break;
    }
  }
}

bool Reader::Resync() {
  const std::size_t found = std::string_view{buffer_}.find(kBoundaryBytes, pos_);
  if (found == std::string_view::npos) {
    // Keep what could be the start of the boundary bytes.
    if (buffer_.size() - pos_ >= kBoundaryBytes.size()) {
      pos_ = buffer_.size() - (kBoundaryBytes.size() - 1);
    }
    return false;
  }
  pos_ = found + kBoundaryBytes.size();
  return true;
}

Reader::Step Reader::ParseChunk() {
  Cursor cursor{std::string_view{buffer_}.substr(pos_)};
  std::uint8_t width = 0;
  if (!cursor.Read(width)) return Step::kNeedMore;
  if (width != 1 && width != 4 && width != 8) return Step::kLost;
  Cursor length_cursor{std::string_view{buffer_}.substr(pos_)};
  std::uint64_t length = 0;
  if (!length_cursor.ReadVarLen(length)) return Step::kNeedMore;
  if (length < 2 || length > limits_.max_chunk_bytes) return Step::kLost;
  std::string_view chunk;
  if (!length_cursor.ReadBytes(static_cast<std::size_t>(length), chunk)) return Step::kNeedMore;
  std::uint16_t tag = 0;
  std::memcpy(&tag, chunk.data(), sizeof tag);
  const std::uint64_t at = base_ + pos_;
  pos_ += 1 + width + static_cast<std::size_t>(length);
  HandleChunk(static_cast<Tag>(tag), chunk.substr(2), at);
  return Step::kDone;
}

void Reader::HandleChunk(Tag tag, std::string_view content, std::uint64_t at) {
  switch (tag) {
    case Tag::kFileHeader:
      file_.header_xml.assign(content);
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
      Warn("chunk with unknown tag " + std::to_string(static_cast<unsigned>(tag)) + At(at) +
           " skipped");
      return;
  }
  Cursor cursor{content};
  std::uint32_t id = 0;
  if (!cursor.Read(id)) {
    Warn("chunk too short for a stream id" + At(at));
    return;
  }
  Stream *stream = FindStream(id);
  if (stream == nullptr) {
    if (unknown_ids_.insert(id).second) {
      Warn("chunks of stream " + std::to_string(id) + " without its header, first" + At(at) +
           ", skipped");
    }
    return;
  }
  if (tag == Tag::kSamples) HandleSamples(*stream, cursor.Rest(), at);
  if (tag == Tag::kClockOffset) HandleClockOffset(*stream, cursor.Rest(), at);
  if (tag == Tag::kStreamFooter) HandleFooter(*stream, cursor.Rest(), at);
}

void Reader::HandleStreamHeader(std::string_view content, std::uint64_t at) {
  Cursor cursor{content};
  std::uint32_t id = 0;
  if (!cursor.Read(id)) {
    Warn("stream header too short" + At(at));
    return;
  }
  if (FindStream(id) != nullptr) {
    Warn("second header of stream " + std::to_string(id) + At(at) + " ignored");
    return;
  }
  if (file_.streams.size() >= limits_.max_streams) {
    Warn("more than " + std::to_string(limits_.max_streams) + " streams; stream " +
         std::to_string(id) + " ignored");
    return;
  }
  Stream stream;
  stream.id = id;
  stream.header_xml.assign(cursor.Rest());
  pugi::xml_document doc;
  if (!ParseXml(doc, stream.header_xml)) {
    Warn("stream " + std::to_string(id) + ": header is not XML; stream ignored");
    return;
  }
  const pugi::xml_node info = doc.child("info");
  stream.info.name = info.child_value("name");
  stream.info.type = info.child_value("type");
  stream.info.source_id = info.child_value("source_id");
  stream.info.nominal_srate = info.child("nominal_srate").text().as_double(0);
  const long long channels = info.child("channel_count").text().as_llong(0);
  const auto format = ParseFormat(info.child_value("channel_format"));
  if (channels < 1 || channels > limits_.max_channels || !format) {
    Warn("stream " + std::to_string(id) + " (" + stream.info.name +
         "): channel count or format missing or out of range; stream ignored");
    return;
  }
  if (!(stream.info.nominal_srate >= 0)) stream.info.nominal_srate = 0;
  stream.info.channel_count = static_cast<int>(channels);
  stream.info.format = *format;
  file_.streams.push_back(std::move(stream));
}

void Reader::HandleSamples(Stream &stream, std::string_view content, std::uint64_t at) {
  const std::string where = "stream " + std::to_string(stream.id) + ": samples chunk" + At(at);
  Cursor cursor{content};
  std::uint64_t count = 0;
  if (!cursor.ReadVarLen(count)) {
    Warn(where + " has no sample count; skipped");
    return;
  }
  const std::size_t channels = static_cast<std::size_t>(stream.info.channel_count);
  const bool strings = stream.info.format == ChannelFormat::kString;
  // A sample takes at least its time stamp byte and, per channel, a value
  // (a string at least its length's two bytes); this bounds what is reserved.
  const std::size_t min_bytes = 1 + channels * (strings ? 2 : FormatSize(stream.info.format));
  if (count > cursor.Remaining() / min_bytes) {
    Warn(where + " announces more samples than it holds; skipped");
    return;
  }
  if (values_ + count * channels > limits_.max_values) {
    Warn(where + " exceeds the reader's limit of " + std::to_string(limits_.max_values) +
         " values; skipped");
    return;
  }
  const double step = stream.info.nominal_srate > 0 ? 1.0 / stream.info.nominal_srate : 0.0;
  double last = stream.time_stamps.empty() ? 0.0 : stream.time_stamps.back();
  std::vector<double> stamps;
  std::vector<double> values;
  std::vector<std::string> texts;
  stamps.reserve(count);
  if (strings) {
    texts.reserve(count * channels);
  } else {
    values.reserve(count * channels);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t stamp_bytes = 0;
    if (!cursor.Read(stamp_bytes)) break;
    if (stamp_bytes == 8) {
      if (!cursor.Read(last)) break;
    } else if (stamp_bytes == 0) {
      last += step;
    } else {
      Warn(where + ": time stamp of " + std::to_string(stamp_bytes) + " bytes; skipped");
      return;
    }
    stamps.push_back(last);
    for (std::size_t c = 0; c < channels; ++c) {
      if (strings) {
        std::uint64_t length = 0;
        std::string_view text;
        if (!cursor.ReadVarLen(length) || length > cursor.Remaining() ||
            !cursor.ReadBytes(static_cast<std::size_t>(length), text)) {
          break;
        }
        texts.emplace_back(text);
      } else {
        double value = 0;
        if (!ReadValue(cursor, stream.info.format, value)) break;
        values.push_back(value);
      }
    }
    if ((strings ? texts.size() : values.size()) != stamps.size() * channels) break;
  }
  if (stamps.size() != count || (strings ? texts.size() : values.size()) != count * channels) {
    Warn(where + " ends inside a sample; skipped");
    return;
  }
  if (cursor.Remaining() != 0) {
    Warn(where + " has " + std::to_string(cursor.Remaining()) + " bytes after its samples");
  }
  values_ += count * channels;
  stream.time_stamps.insert(stream.time_stamps.end(), stamps.begin(), stamps.end());
  if (strings) {
    stream.strings.insert(stream.strings.end(), std::make_move_iterator(texts.begin()),
                          std::make_move_iterator(texts.end()));
  } else {
    stream.values.insert(stream.values.end(), values.begin(), values.end());
  }
}

void Reader::HandleClockOffset(Stream &stream, std::string_view content, std::uint64_t at) {
  Cursor cursor{content};
  ClockOffsetMeasurement offset{};
  if (!cursor.Read(offset.collection_time) || !cursor.Read(offset.value)) {
    Warn("stream " + std::to_string(stream.id) + ": clock offset chunk too short" + At(at));
    return;
  }
  stream.clock_offsets.push_back(offset);
}

void Reader::HandleFooter(Stream &stream, std::string_view content, std::uint64_t at) {
  stream.footer_xml.emplace(content);
  pugi::xml_document doc;
  if (!ParseXml(doc, content)) {
    Warn("stream " + std::to_string(stream.id) + ": footer" + At(at) + " is not XML");
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
  stream.footer = std::move(footer);
}

Stream *Reader::FindStream(std::uint32_t id) {
  for (Stream &stream : file_.streams) {
    if (stream.id == id) return &stream;
  }
  return nullptr;
}

void Reader::Warn(std::string message) {
  if (file_.warnings.size() < limits_.max_warnings) {
    file_.warnings.push_back(std::move(message));
  } else {
    ++warnings_dropped_;
  }
}

void Reader::Compact() {
  if (pos_ == 0) return;
  base_ += pos_;
  buffer_.erase(0, pos_);
  pos_ = 0;
}

File Reader::Finish() {
  // What is left is an incomplete chunk, or garbage that looked like the
  // start of a long one: a boundary further on still lets the rest load.
  while (state_ == State::kChunks && pos_ < buffer_.size()) {
    const std::size_t found = std::string_view{buffer_}.find(kBoundaryBytes, pos_ + 1);
    if (found == std::string_view::npos) break;
    Warn("incomplete chunk" + At(base_ + pos_) + "; going on from the next boundary chunk");
    pos_ = found + kBoundaryBytes.size();
    Parse();
  }
  if (state_ == State::kStart) {
    Warn("not an XDF file: too short");
  } else if (state_ != State::kStopped && pos_ < buffer_.size()) {
    Warn("file ends inside a chunk: " + std::to_string(buffer_.size() - pos_) + " bytes" +
         At(base_ + pos_) + " ignored (the file was cut short)");
  }
  if (warnings_dropped_ > 0) {
    file_.warnings.push_back(std::to_string(warnings_dropped_) + " further warnings");
  }
  state_ = State::kStopped;
  buffer_.clear();
  pos_ = 0;
  return std::move(file_);
}

File Read(std::string_view bytes, const Limits &limits) {
  Reader reader{limits};
  reader.Feed(bytes);
  return reader.Finish();
}

}  // namespace maroquint::xdf
