#include "edf_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace maroquint::edf {
namespace {

constexpr std::size_t kFixedHeaderBytes = 256;
constexpr std::size_t kSignalHeaderBytes = 256;
constexpr std::string_view kEdfVersion = "0       ";
constexpr std::string_view kBdfVersion =
    "\xff"
    "BIOSEMI";

// The widths of a signal header's fields; each field is stored for every
// signal before the next field starts.
constexpr int kLabelWidth = 16;
constexpr int kTransducerWidth = 80;
constexpr int kDimensionWidth = 8;
constexpr int kNumberWidth = 8;
constexpr int kPrefilteringWidth = 80;

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

std::string TrimTrailing(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

// A whole number in a space-padded ASCII field; a field is at most 8
// digits wide, so any value fits.
bool ParseInteger(std::string_view field, std::int64_t &value) {
  std::string_view text = TrimSpaces(field);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return false;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

// A decimal number, independent of the locale: [sign] digits [. digits]
// [e [sign] digits], at least one digit before the exponent.
bool ParseNumber(std::string_view field, double &value) {
  std::string_view text = TrimSpaces(field);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::uint64_t mantissa = 0;
  int digits = 0;
  int exponent = 0;
  bool dot = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !dot) {
      dot = true;
    } else if (c >= '0' && c <= '9') {
      ++digits;
      // Beyond 18 significant digits the rest only scale the value.
      if (mantissa < std::uint64_t{100000000000000000}) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        if (dot) --exponent;
      } else if (!dot) {
        ++exponent;
      }
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) exponent_negative = text[i++] == '-';
    const std::size_t start = i;
    int written = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      written = std::min(written * 10 + (text[i] - '0'), 10000);
    if (i == start) return false;
    exponent += exponent_negative ? -written : written;
  }
  if (i != text.size()) return false;
  // Dividing by an exact power of ten rounds once, so "0.1" is the double
  // nearest 0.1.
  const double m = static_cast<double>(mantissa);
  const double scaled = exponent < 0 ? m / std::pow(10.0, -exponent) : m * std::pow(10.0, exponent);
  if (!std::isfinite(scaled)) return false;
  value = negative ? -scaled : scaled;
  return true;
}

std::string FormatName(const Header &header) {
  std::string name = header.format == Format::kBdf ? "BDF" : "EDF";
  return header.plus ? name + "+" : name;
}

}  // namespace

std::size_t Header::RecordBytes() const {
  std::size_t samples = 0;
  for (const Signal &signal : signals)
    samples += static_cast<std::size_t>(signal.samples_per_record);
  return samples * static_cast<std::size_t>(SampleBytes());
}

// A header field, or any bytes, as they may be shown to the user: quoted, with every byte
// that is not printable ASCII written as \xNN.
std::string Quote(std::string_view field) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 && byte < 127 && c != '"' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out + "\"";
}

std::string Describe(WarningKind kind) {
  switch (kind) {
    case WarningKind::kRecordCountUnknown:
      return "the header's record count is -1 (the recording was not closed): read to the last "
             "complete record (records read)";
    case WarningKind::kCutShort:
      return "the file ends before the records its header announces: read to the last complete "
             "record (records missing)";
    case WarningKind::kIncompleteRecord:
      return "the file ends inside a record, which was dropped (bytes dropped)";
    case WarningKind::kTrailingBytes:
      return "bytes after the records the header announces were ignored (bytes ignored)";
  }
  return "";
}

Reader::Reader(Limits limits) : limits_(limits) {}

void Reader::Feed(std::string_view bytes) {
  fed_ += bytes.size();
  if (state_ == State::kFailed || finished_) return;
  const std::uint64_t take = std::min<std::uint64_t>(bytes.size(), keep_limit_ - kept_);
  buffer_.append(bytes.data(), static_cast<std::size_t>(take));
  kept_ += take;
  Parse();
}

void Reader::Parse() {
  if (state_ == State::kFixedHeader) {
    if (buffer_.size() - pos_ >= kEdfVersion.size() &&
        !CheckVersion(std::string_view(buffer_).substr(pos_, kEdfVersion.size())))
      return;
    if (buffer_.size() - pos_ < kFixedHeaderBytes) return;
    ParseFixedHeader();
  }
  if (state_ == State::kSignalHeaders &&
      buffer_.size() - pos_ >= kSignalHeaderBytes * header_.signals.size()) {
    ParseSignalHeaders();
  }
}

bool Reader::CheckVersion(std::string_view field) {
  const bool bdf = field == kBdfVersion.substr(0, field.size());
  const bool edf = TrimSpaces(field) == "0" || (field.size() < kEdfVersion.size() &&
                                                field == kEdfVersion.substr(0, field.size()));
  if (bdf || edf) return true;
  Fail(ErrorCode::kNotEdf, "not an EDF or BDF file: the header's version field is " + Quote(field) +
                               ", where EDF has \"0\" and BDF has " + Quote(kBdfVersion));
  return false;
}

void Reader::ParseFixedHeader() {
  const std::string_view fixed = std::string_view(buffer_).substr(pos_, kFixedHeaderBytes);
  header_.format = fixed.substr(0, 8) == kBdfVersion ? Format::kBdf : Format::kEdf;
  header_.patient = TrimTrailing(fixed.substr(8, 80));
  header_.recording = TrimTrailing(fixed.substr(88, 80));
  header_.start_date = TrimTrailing(fixed.substr(168, 8));
  header_.start_time = TrimTrailing(fixed.substr(176, 8));
  const std::string_view reserved = fixed.substr(192, 44);
  const std::string_view plus_tag = header_.format == Format::kBdf ? "BDF+" : "EDF+";
  if (reserved.substr(0, 4) == plus_tag && (reserved[4] == 'C' || reserved[4] == 'D')) {
    header_.plus = true;
    header_.discontinuous = reserved[4] == 'D';
  }
  const std::string what = "not a readable " + FormatName(header_) + " file: the header's ";

  std::int64_t signals = 0;
  if (!ParseInteger(fixed.substr(252, 4), signals) || signals < 1 ||
      signals > limits_.max_signals) {
    Fail(ErrorCode::kBadHeader, what + "signal count field is " + Quote(fixed.substr(252, 4)) +
                                    ", where a whole number from 1 to " +
                                    std::to_string(limits_.max_signals) + " was expected");
    return;
  }
  const auto expected_bytes =
      static_cast<std::int64_t>(kFixedHeaderBytes + kSignalHeaderBytes * signals);
  if (!ParseInteger(fixed.substr(184, 8), header_.header_bytes) ||
      header_.header_bytes != expected_bytes) {
    Fail(ErrorCode::kBadHeader, what + "size field is " + Quote(fixed.substr(184, 8)) +
                                    ", where 256 * (1 + " + std::to_string(signals) +
                                    " signals) = " + std::to_string(expected_bytes) +
                                    " was expected");
    return;
  }
  if (!ParseInteger(fixed.substr(236, 8), header_.records) || header_.records < -1) {
    Fail(ErrorCode::kBadHeader, what + "record count field is " + Quote(fixed.substr(236, 8)) +
                                    ", where a whole number (-1 when unknown) was expected");
    return;
  }
  if (!ParseNumber(fixed.substr(244, 8), header_.record_duration_s) ||
      header_.record_duration_s < 0) {
    Fail(ErrorCode::kBadHeader, what + "record duration field is " + Quote(fixed.substr(244, 8)) +
                                    ", where a number of seconds was expected");
    return;
  }
  header_.signals.resize(static_cast<std::size_t>(signals));
  pos_ += kFixedHeaderBytes;
  state_ = State::kSignalHeaders;
}

void Reader::ParseSignalHeaders() {
  const std::size_t count = header_.signals.size();
  const std::string_view block = std::string_view(buffer_).substr(pos_, kSignalHeaderBytes * count);
  std::size_t field_start = 0;
  // The field of signal `s` among the `width`-wide fields that start at
  // field_start.
  const auto field = [&](std::size_t s, int width) {
    return block.substr(field_start + s * static_cast<std::size_t>(width),
                        static_cast<std::size_t>(width));
  };
  const auto next_field = [&](int width) {
    field_start += count * static_cast<std::size_t>(width);
  };
  const std::string_view annotations_label =
      header_.format == Format::kBdf ? "BDF Annotations" : "EDF Annotations";
  for (std::size_t s = 0; s < count; ++s) {
    Signal &signal = header_.signals[s];
    signal.label = TrimTrailing(field(s, kLabelWidth));
    signal.annotations = header_.plus && signal.label == annotations_label;
  }
  next_field(kLabelWidth);
  for (std::size_t s = 0; s < count; ++s)
    header_.signals[s].transducer = TrimTrailing(field(s, kTransducerWidth));
  next_field(kTransducerWidth);
  for (std::size_t s = 0; s < count; ++s)
    header_.signals[s].physical_dimension = TrimTrailing(field(s, kDimensionWidth));
  next_field(kDimensionWidth);

  const std::string format = FormatName(header_);
  const auto fail = [&](std::size_t s, const std::string &name, std::string_view text,
                        const std::string &expected) {
    Fail(ErrorCode::kBadHeader, "not a readable " + format + " file: signal " +
                                    std::to_string(s + 1) + " (" + Quote(header_.signals[s].label) +
                                    ") has the " + name + " field " + Quote(text) + ", where " +
                                    expected + " was expected");
  };
  for (const bool maximum : {false, true}) {
    for (std::size_t s = 0; s < count; ++s) {
      Signal &signal = header_.signals[s];
      if (!ParseNumber(field(s, kNumberWidth), maximum ? signal.physical_max : signal.physical_min))
        return fail(s, maximum ? "physical maximum" : "physical minimum", field(s, kNumberWidth),
                    "a number");
    }
    next_field(kNumberWidth);
  }
  const std::int64_t digital_limit = header_.format == Format::kBdf ? 8388608 : 32768;
  const std::string digital_range = "a whole number from " + std::to_string(-digital_limit) +
                                    " to " + std::to_string(digital_limit - 1);
  for (const bool maximum : {false, true}) {
    for (std::size_t s = 0; s < count; ++s) {
      Signal &signal = header_.signals[s];
      std::int64_t value = 0;
      if (!ParseInteger(field(s, kNumberWidth), value) || value < -digital_limit ||
          value >= digital_limit)
        return fail(s, maximum ? "digital maximum" : "digital minimum", field(s, kNumberWidth),
                    digital_range);
      (maximum ? signal.digital_max : signal.digital_min) = static_cast<std::int32_t>(value);
      if (maximum && signal.digital_max <= signal.digital_min)
        return fail(s, "digital maximum", field(s, kNumberWidth),
                    "a number above the digital minimum " + std::to_string(signal.digital_min));
    }
    next_field(kNumberWidth);
  }
  for (std::size_t s = 0; s < count; ++s)
    header_.signals[s].prefiltering = TrimTrailing(field(s, kPrefilteringWidth));
  next_field(kPrefilteringWidth);
  offsets_.resize(count);
  std::uint64_t record_bytes = 0;
  for (std::size_t s = 0; s < count; ++s) {
    Signal &signal = header_.signals[s];
    std::int64_t samples = 0;
    if (!ParseInteger(field(s, kNumberWidth), samples) || samples < 1 ||
        samples > limits_.max_samples_per_record)
      return fail(s, "samples per record", field(s, kNumberWidth),
                  "a whole number from 1 to " + std::to_string(limits_.max_samples_per_record));
    signal.samples_per_record = static_cast<int>(samples);
    offsets_[s] = static_cast<std::size_t>(record_bytes);
    record_bytes +=
        static_cast<std::uint64_t>(samples) * static_cast<unsigned>(header_.SampleBytes());
  }
  if (record_bytes > limits_.max_record_bytes) {
    Fail(ErrorCode::kRecordTooLarge, "not a readable " + format + " file: its records would be " +
                                         std::to_string(record_bytes) +
                                         " bytes each, beyond the limit of " +
                                         std::to_string(limits_.max_record_bytes));
    return;
  }
  record_bytes_ = static_cast<std::size_t>(record_bytes);
  pos_ += block.size();
  state_ = State::kRecords;
  if (header_.records >= 0) {
    keep_limit_ = static_cast<std::uint64_t>(header_.header_bytes) +
                  static_cast<std::uint64_t>(header_.records) * record_bytes_;
    if (kept_ > keep_limit_) {
      buffer_.resize(buffer_.size() - static_cast<std::size_t>(kept_ - keep_limit_));
      kept_ = keep_limit_;
    }
  }
}

void Reader::Fail(ErrorCode code, std::string message) {
  state_ = State::kFailed;
  status_ = base::Fail(code, std::move(message));
  has_current_ = false;
  std::string().swap(buffer_);
  pos_ = 0;
}

void Reader::Finish() {
  if (finished_) return;
  finished_ = true;
  switch (state_) {
    case State::kFailed:
      return;
    case State::kFixedHeader: {
      const std::size_t held = buffer_.size() - pos_;
      if (held == 0)
        return Fail(ErrorCode::kEmpty, "empty file, where an EDF or BDF file was expected");
      if (held < kEdfVersion.size() && !CheckVersion(buffer_)) return;
      return Fail(ErrorCode::kNotEdf,
                  "not an EDF or BDF file: it holds " + std::to_string(held) +
                      " bytes, short of the 256 that start every EDF and BDF header");
    }
    case State::kSignalHeaders:
      return Fail(ErrorCode::kHeaderCutShort,
                  "not a complete " + FormatName(header_) + " file: the header announces " +
                      std::to_string(header_.signals.size()) + " signals (" +
                      std::to_string(header_.header_bytes) + " header bytes) but the file holds " +
                      std::to_string(fed_) + " bytes");
    case State::kRecords:
      break;
  }
  const auto start = static_cast<std::uint64_t>(header_.header_bytes);
  const std::uint64_t data = kept_ - start;
  const std::uint64_t complete = data / record_bytes_;
  const std::uint64_t partial = data % record_bytes_;
  if (header_.records < 0) {
    warnings_.push_back({WarningKind::kRecordCountUnknown, complete, start});
  } else if (complete < static_cast<std::uint64_t>(header_.records)) {
    warnings_.push_back(
        {WarningKind::kCutShort, static_cast<std::uint64_t>(header_.records) - complete, fed_});
  }
  if (partial > 0)
    warnings_.push_back(
        {WarningKind::kIncompleteRecord, partial, start + complete * record_bytes_});
  if (fed_ > kept_) warnings_.push_back({WarningKind::kTrailingBytes, fed_ - kept_, kept_});
}

bool Reader::NextRecord() {
  has_current_ = false;
  if (state_ != State::kRecords) return false;
  if (header_.records >= 0 && records_read_ >= header_.records) return false;
  if (buffer_.size() - pos_ < record_bytes_) {
    Compact();
    return false;
  }
  current_ = pos_;
  pos_ += record_bytes_;
  has_current_ = true;
  ++records_read_;
  return true;
}

void Reader::Compact() {
  if (pos_ == 0) return;
  buffer_.erase(0, pos_);
  pos_ = 0;
}

void Reader::Values(int index, std::vector<std::int32_t> &values) const {
  values.clear();
  if (!has_current_ || index < 0 || static_cast<std::size_t>(index) >= header_.signals.size())
    return;
  const auto count =
      static_cast<std::size_t>(header_.signals[static_cast<std::size_t>(index)].samples_per_record);
  values.resize(count);
  const auto *bytes = reinterpret_cast<const unsigned char *>(
      buffer_.data() + current_ + offsets_[static_cast<std::size_t>(index)]);
  if (header_.format == Format::kBdf) {
    for (std::size_t i = 0; i < count; ++i, bytes += 3) {
      const std::uint32_t raw =
          bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16);
      values[i] = static_cast<std::int32_t>(raw ^ 0x800000u) - 0x800000;
    }
  } else {
    for (std::size_t i = 0; i < count; ++i, bytes += 2) {
      const std::uint32_t raw = bytes[0] | (std::uint32_t{bytes[1]} << 8);
      values[i] = static_cast<std::int32_t>(raw ^ 0x8000u) - 0x8000;
    }
  }
}

}  // namespace maroquint::edf
