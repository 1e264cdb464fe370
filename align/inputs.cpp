#include "inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <string_view>

#include "base/text.h"
#include "clock_sync.h"
#include "edf_reader.h"
#include "marker_csv.h"
#include "onsets.h"
#include "reader.h"
#include "report.h"

namespace maroquint::align {
namespace {

// What a damaged or hostile file may make the tool hold besides the
// reader's chunk: events it keeps, per kind.
constexpr std::size_t kMaxEvents = std::size_t{1} << 22;
constexpr std::size_t kMaxCsvBytes = std::size_t{256} << 20;
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
// The text of the experiment's markers kept, all streams together.
constexpr std::size_t kMaxEventBytes = std::size_t{64} << 20;

std::string TooMany(const std::string &what) {
  return "more than " + std::to_string(kMaxEvents) + " " + what + ", maroquint-align's limit";
}

// Trigger channels as the common amplifiers name them: BioSemi's "Status",
// anything with "trig" in it ("Trigger", "TRIG", "DC Trig"), Neuromag's
// "STI 014" or "STI101", and "Markers"; case aside.
bool LooksLikeTriggerChannel(const std::string &label) {
  const std::string lower = base::ToLower(base::Trim(label));
  const bool sti =
      lower.rfind("sti", 0) == 0 &&
      (lower.size() == 3 || lower[3] == ' ' || std::isdigit(static_cast<unsigned char>(lower[3])));
  return lower == "status" || lower.find("trig") != std::string::npos || sti ||
         lower.find("marker") != std::string::npos;
}

std::vector<std::string> ChannelLabels(std::string_view header_xml) {
  pugi::xml_document doc;
  doc.load_buffer(header_xml.data(), header_xml.size());
  std::vector<std::string> labels;
  for (const pugi::xml_node node :
       doc.child("info").child("desc").child("channels").children("channel")) {
    labels.push_back(base::Trim(node.child_value("label")));
  }
  return labels;
}

// The channel labelled `channel` (case aside), else `channel` as a number
// from 1; -1 when neither.
int FindChannel(const std::vector<std::string> &labels, int channel_count,
                const std::string &channel) {
  for (std::size_t i = 0; i < labels.size() && i < static_cast<std::size_t>(channel_count); ++i) {
    if (base::EqualsIgnoreCase(labels[i], channel)) return static_cast<int>(i);
  }
  char *end = nullptr;
  const long number = std::strtol(channel.c_str(), &end, 10);
  if (!channel.empty() && *end == '\0' && number >= 1 && number <= channel_count) {
    return static_cast<int>(number - 1);
  }
  return -1;
}

// A name or label as messages show it: a file may hold megabytes in one.
std::string Shown(const std::string &name) {
  constexpr std::size_t kShown = 80;
  return name.size() <= kShown ? name : name.substr(0, kShown) + "...";
}

std::string Quoted(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "'" : ", '") + name + "'";
  return text.empty() ? "none" : text;
}

// Takes what the request asks for out of the chunks as the parser hands
// them over, keeping no sample values.
class XdfCollector : public xdf::Sink {
 public:
  explicit XdfCollector(const XdfRequest &request)
      : request_(request),
        detector_(request.bit),
        check_detector_(EdgeDetector::ForMask(request.check_mask)) {}

  void OnStreamHeader(std::uint32_t id, std::string_view xml,
                      const xdf::StreamInfo &info) override {
    names_.push_back(Shown(info.name));
    if (IsEventStream(info)) events_.push_back({id, info.name, {}, {}, {}});
    if (request_.markers && !marker_found_ && info.name == request_.marker_stream) {
      marker_found_ = true;
      marker_id_ = id;
    }
    if (!request_.trigger || eeg_found_ || info.format == xdf::ChannelFormat::kString) return;
    if (!request_.eeg_stream.empty() && info.name != request_.eeg_stream) return;
    const std::vector<std::string> labels = ChannelLabels(xml);
    const int index = FindChannel(labels, info.channel_count, request_.channel);
    std::vector<std::string> trigger_like;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      if (static_cast<int>(i) != index && LooksLikeTriggerChannel(labels[i])) {
        trigger_like.push_back(labels[i]);
      }
    }
    if (index < 0 && request_.eeg_stream.empty()) {
      for (const std::string &label : trigger_like) {
        if (elsewhere_.size() < 32) elsewhere_.push_back(Shown(info.name) + ": " + Shown(label));
      }
      return;
    }
    eeg_found_ = true;
    eeg_id_ = id;
    eeg_info_ = info;
    channel_index_ = index;
    trigger_like_ = std::move(trigger_like);
  }

  void OnSamples(const xdf::SampleChunk &chunk) override {
    if (chunk.Size() == 0) return;
    const std::vector<double> &stamps = chunk.TimeStamps();
    if (eeg_found_ && chunk.StreamId() == eeg_id_ && channel_index_ >= 0) {
      chunk.Channel(channel_index_, values_);
      const std::size_t known = detector_.Onsets().size();
      const std::int64_t first_sample = detector_.SamplesSeen();
      detector_.Feed(values_.data(), values_.size());
      if (request_.check_mask != 0) {
        check_detector_.Feed(values_.data(), values_.size());
        if (check_detector_.Onsets().size() > kMaxEvents)
          Stop(xdf::ErrorCode::kSinkLimit, TooMany("checked trigger onsets"));
      }
      for (std::size_t k = known; k < detector_.Onsets().size(); ++k) {
        onset_stamps_.push_back(stamps[detector_.Onsets()[k] - first_sample]);
      }
      if (detector_.Onsets().size() > kMaxEvents)
        Stop(xdf::ErrorCode::kSinkLimit, TooMany("trigger onsets"));
      if (first_sample == 0) first_stamp_ = stamps.front();
      last_stamp_ = stamps.back();
    }
    if (marker_found_ && chunk.StreamId() == marker_id_) {
      marker_stamps_.insert(marker_stamps_.end(), stamps.begin(), stamps.end());
      if (marker_stamps_.size() > kMaxEvents) Stop(xdf::ErrorCode::kSinkLimit, TooMany("markers"));
    }
    if (Events *events = FindEvents(chunk.StreamId())) Collect(chunk, *events);
  }

  void OnClockOffset(std::uint32_t id, const xdf::ClockOffsetMeasurement &offset) override {
    if (eeg_found_ && id == eeg_id_) eeg_offsets_.push_back(offset);
    if (marker_found_ && id == marker_id_) marker_offsets_.push_back(offset);
    Events *events = FindEvents(id);
    if (events != nullptr) events->offsets.push_back(offset);
    if (eeg_offsets_.size() > kMaxEvents || marker_offsets_.size() > kMaxEvents ||
        (events != nullptr && events->offsets.size() > kMaxEvents)) {
      Stop(xdf::ErrorCode::kSinkLimit, TooMany("clock offsets of a stream"));
    }
  }

  // After the whole file: what the request asked for, or the message that
  // says what is missing.
  base::Result<EegTrigger, InputError> Trigger(const std::string &path) const {
    const XdfRequest &r = request_;
    if (!eeg_found_) {
      return base::Fail(
          r.eeg_stream.empty() ? InputError::kNoChannel : InputError::kNoStream,
          path + ": " +
              (r.eeg_stream.empty() ? "no numeric stream has a channel '" + r.channel + "'"
                                    : "no numeric stream '" + r.eeg_stream + "'") +
              " (streams: " + Quoted(names_) +
              (elsewhere_.empty() ? ""
                                  : "; channels that look like a trigger: " + Quoted(elsewhere_)) +
              ")");
    }
    if (channel_index_ < 0) {
      return base::Fail(InputError::kNoChannel,
                        path + ": stream '" + eeg_info_.name + "' has no channel '" + r.channel +
                            "' (give its label or its number from 1" +
                            (trigger_like_.empty() ? ""
                                                   : "; channels that look like a trigger: " +
                                                         Quoted(trigger_like_)) +
                            ")");
    }
    if (!(eeg_info_.nominal_srate > 0)) {
      return base::Fail(InputError::kUnsupported,
                        path + ": stream '" + eeg_info_.name + "' has no nominal rate");
    }
    EegTrigger trigger;
    trigger.rate = eeg_info_.nominal_srate;
    trigger.description = path + ", stream " + eeg_info_.name + ", channel " + r.channel +
                          ", bit " + std::to_string(r.bit) + ", " + std::to_string(trigger.rate) +
                          " Hz";
    trigger.onsets = detector_.Onsets();
    trigger.high_samples = detector_.HighSamples();
    trigger.samples = detector_.SamplesSeen();
    if (r.check_mask != 0) trigger.check_onsets = check_detector_.Onsets();
    trigger.trigger_like_channels = trigger_like_;
    if (trigger.samples > 0) {
      // One call, so that the onsets and the span get the same offsets.
      std::vector<double> stamps;
      stamps.reserve(onset_stamps_.size() + 2);
      stamps.push_back(first_stamp_);
      stamps.insert(stamps.end(), onset_stamps_.begin(), onset_stamps_.end());
      stamps.push_back(last_stamp_);
      const std::vector<double> synced = xdf::Synchronize(stamps, eeg_offsets_).times;
      trigger.onset_stamps.assign(synced.begin() + 1, synced.end() - 1);
      trigger.has_span = true;
      trigger.first_time = synced.front();
      trigger.last_time = synced.back();
    }
    return trigger;
  }

  base::Result<MarkerTimes, InputError> Markers(const std::string &path) const {
    if (!marker_found_) {
      return base::Fail(InputError::kNoStream, path + ": no stream '" + request_.marker_stream +
                                                   "' (streams: " + Quoted(names_) + ")");
    }
    MarkerTimes markers;
    const xdf::SynchronizedTimes synced = xdf::Synchronize(marker_stamps_, marker_offsets_);
    markers.times = synced.times;
    std::sort(markers.times.begin(), markers.times.end());
    markers.description = path + ", stream " + request_.marker_stream;
    markers.offset_se_s = synced.offset_se_s;
    markers.offset_slope_se = synced.slope_se;
    bool any = !markers.times.empty();
    double from = any ? markers.times.front() : 0, to = any ? markers.times.back() : 0;
    for (const xdf::ClockOffsetMeasurement &offset : marker_offsets_) {
      from = any ? std::min(from, offset.collection_time) : offset.collection_time;
      to = any ? std::max(to, offset.collection_time) : offset.collection_time;
      any = true;
    }
    markers.recorded_from = from;
    markers.recorded_to = to;
    return markers;
  }

  base::Result<std::vector<EventStream>, InputError> EventStreams(const std::string &path) const {
    for (const std::string &name : request_.event_streams) {
      if (std::none_of(events_.begin(), events_.end(),
                       [&](const Events &e) { return e.name == name; })) {
        return base::Fail(InputError::kNoStream, path + ": no event stream '" + name +
                                                     "' (streams: " + Quoted(names_) + ")");
      }
    }
    std::vector<EventStream> out;
    for (const Events &e : events_) {
      EventStream stream;
      stream.name = e.name;
      stream.times = xdf::Synchronize(e.stamps, e.offsets).times;
      stream.values = e.values;
      out.push_back(std::move(stream));
    }
    return out;
  }

 private:
  struct Events {
    std::uint32_t id;
    std::string name;
    std::vector<double> stamps;
    std::vector<std::string> values;
    std::vector<xdf::ClockOffsetMeasurement> offsets;
  };

  // The synchronization stream is no event, nor is a stream of regular
  // rate (the EEG, other signals).
  bool IsEventStream(const xdf::StreamInfo &info) const {
    if (!request_.events) return false;
    if (!request_.event_streams.empty()) {
      return std::find(request_.event_streams.begin(), request_.event_streams.end(), info.name) !=
             request_.event_streams.end();
    }
    return info.name != request_.marker_stream && info.nominal_srate == 0;
  }

  Events *FindEvents(std::uint32_t id) {
    for (Events &e : events_) {
      if (e.id == id) return &e;
    }
    return nullptr;
  }

  // A marker's value: its text, or its numbers; channels joined by commas.
  void Collect(const xdf::SampleChunk &chunk, Events &events) {
    const std::vector<double> &stamps = chunk.TimeStamps();
    const int channels = chunk.Info().channel_count;
    for (std::size_t i = 0; i < chunk.Size(); ++i) {
      std::string value;
      for (int c = 0; c < channels; ++c) {
        if (c > 0) value += ',';
        if (chunk.Info().format == xdf::ChannelFormat::kString) {
          value += chunk.Text(i, c);
        } else {
          value += Number(chunk.Value(i, c));
        }
      }
      event_bytes_ += value.size();
      event_count_ += 1;
      events.stamps.push_back(stamps[i]);
      events.values.push_back(std::move(value));
    }
    if (event_count_ > kMaxEvents) Stop(xdf::ErrorCode::kSinkLimit, TooMany("events"));
    if (event_bytes_ > kMaxEventBytes) {
      Stop(xdf::ErrorCode::kSinkLimit, "more than " + std::to_string(kMaxEventBytes) +
                                           " bytes of event text, maroquint-align's limit");
    }
  }

  const XdfRequest &request_;
  std::vector<std::string> names_;
  bool eeg_found_ = false;
  std::uint32_t eeg_id_ = 0;
  xdf::StreamInfo eeg_info_;
  int channel_index_ = -1;
  std::vector<std::string> trigger_like_;
  std::vector<std::string> elsewhere_;  // trigger-like channels of streams passed over
  EdgeDetector detector_;
  EdgeDetector check_detector_;
  std::vector<Events> events_;
  std::size_t event_count_ = 0;
  std::size_t event_bytes_ = 0;
  std::vector<double> values_;
  std::vector<double> onset_stamps_;
  double first_stamp_ = 0;
  double last_stamp_ = 0;
  std::vector<xdf::ClockOffsetMeasurement> eeg_offsets_;
  bool marker_found_ = false;
  std::uint32_t marker_id_ = 0;
  std::vector<double> marker_stamps_;
  std::vector<xdf::ClockOffsetMeasurement> marker_offsets_;
};

std::vector<FileWarning> FileWarnings(const std::vector<xdf::Warning> &warnings) {
  std::vector<FileWarning> out;
  for (const xdf::Warning &w : warnings) {
    out.push_back({w.kind, static_cast<std::size_t>(w.count), w.first});
  }
  return out;
}

// The signal labelled `channel` (case aside; annotation signals hold no
// samples), when the file can give that channel's onsets; the channels
// that look like triggers go to `trigger_like`.
base::Result<int, InputError> ChooseEdfSignal(const edf::Header &header, const std::string &channel,
                                              int bit, std::vector<std::string> &trigger_like) {
  const std::string kind =
      std::string(header.format == edf::Format::kBdf ? "BDF" : "EDF") + (header.plus ? "+" : "");
  if (header.discontinuous) {
    return base::Fail(InputError::kUnsupported,
                      "a discontinuous " + kind + " file (" + kind +
                          "D): its records may have gaps in time, which sample numbers cannot "
                          "show; a continuous file (" +
                          kind + "C, or plain " + kind.substr(0, 3) + ") was expected");
  }
  int signal = -1;
  std::string labels;
  for (std::size_t s = 0; s < header.signals.size(); ++s) {
    const edf::Signal &candidate = header.signals[s];
    if (candidate.annotations) continue;
    if (signal < 0 && base::EqualsIgnoreCase(base::Trim(candidate.label), channel)) {
      signal = static_cast<int>(s);
    } else if (LooksLikeTriggerChannel(candidate.label)) {
      trigger_like.push_back(candidate.label);
    }
    labels += (labels.empty() ? "" : ", ") + ("'" + candidate.label + "'");
  }
  if (signal < 0) {
    return base::Fail(InputError::kNoChannel, "no channel '" + channel + "' (channels: " +
                                                  (labels.empty() ? "none" : labels) + ")");
  }
  const int bits = header.SampleBytes() * 8;
  if (bit >= bits) {
    return base::Fail(InputError::kUnsupported, "bit " + std::to_string(bit) + " is beyond the " +
                                                    std::to_string(bits) + " bits of a " + kind +
                                                    " sample");
  }
  if (!(header.record_duration_s > 0)) {
    return base::Fail(InputError::kUnsupported,
                      "the header's record duration is 0: the file gives no sample rate");
  }
  return signal;
}

// Why a file could not be opened or read, as the system says it.
std::string SystemReason() {
  return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
}

base::Error<InputError> CannotOpen(const std::string &path) {
  return base::Fail(InputError::kCannotRead, path + ": cannot open the file" + SystemReason());
}

}  // namespace

bool IsXdf(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && base::EqualsIgnoreCase(path.substr(dot), ".xdf");
}

base::Result<EegTrigger, InputError> ReadEdfTrigger(const std::string &path,
                                                    const std::string &channel, int bit,
                                                    std::uint64_t check_mask) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return CannotOpen(path);
  EegTrigger trigger;
  edf::Reader reader;
  std::string piece(kReadPiece, '\0');
  EdgeDetector detector(bit);
  EdgeDetector check_detector = EdgeDetector::ForMask(check_mask);
  std::vector<std::int32_t> values;
  int signal = -1;
  std::uint64_t read = 0;
  for (bool end = false; !end;) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    read += got;
    if (in.bad()) {
      return base::Fail(InputError::kCannotRead,
                        path + ": cannot read the file (a folder, or a disk error) after " +
                            std::to_string(read) + " bytes");
    }
    reader.Feed(std::string_view(piece.data(), got));
    end = got < piece.size();
    if (end) reader.Finish();
    if (!reader.Outcome().Ok()) {
      const bool limit = reader.Outcome().Code() == edf::ErrorCode::kRecordTooLarge;
      return base::Fail(limit ? InputError::kLimit : InputError::kNotEdf,
                        path + ": " + reader.Outcome().Message());
    }
    if (signal < 0 && reader.HasHeader()) {
      const auto chosen =
          ChooseEdfSignal(reader.FileHeader(), channel, bit, trigger.trigger_like_channels);
      if (!chosen.Ok()) return base::Fail(chosen.Code(), path + ": " + chosen.Message());
      signal = *chosen;
      // Beyond a sample's bits the values are the sign's copies, set in every
      // negative sample (BioSemi's Status always is).
      const int bits = reader.FileHeader().SampleBytes() * 8;
      if (check_mask >> bits != 0) {
        return base::Fail(InputError::kUnsupported, path + ": the checked bits go beyond the " +
                                                        std::to_string(bits) + " bits of a sample");
      }
    }
    while (reader.NextRecord()) {
      reader.Values(signal, values);
      detector.Feed(values.data(), values.size());
      if (check_mask != 0) check_detector.Feed(values.data(), values.size());
    }
    if (check_detector.Onsets().size() > kMaxEvents) {
      return base::Fail(InputError::kLimit, path + ": " + TooMany("checked trigger onsets"));
    }
  }
  const edf::Header &header = reader.FileHeader();
  const edf::Signal &chosen = header.signals[static_cast<std::size_t>(signal)];
  trigger.rate = chosen.samples_per_record / header.record_duration_s;
  trigger.description = path + ", channel " + chosen.label + ", bit " + std::to_string(bit) + ", " +
                        std::to_string(trigger.rate) + " Hz";
  for (const edf::Warning &warning : reader.Warnings()) {
    // A 32-bit build counts to SIZE_MAX, which only a file beyond 4 GiB of
    // ignored bytes reaches.
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(warning.count, SIZE_MAX));
    trigger.warnings.push_back(
        {edf::Describe(warning.kind), count, "at byte " + std::to_string(warning.at_byte)});
  }
  trigger.onsets = detector.Onsets();
  trigger.high_samples = detector.HighSamples();
  trigger.samples = detector.SamplesSeen();
  if (check_mask != 0) trigger.check_onsets = check_detector.Onsets();
  return trigger;
}

base::Result<XdfContents, InputError> ReadXdfInputs(const std::string &path,
                                                    const XdfRequest &request) {
  errno = 0;
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return CannotOpen(path);
  XdfCollector inputs(request);
  std::string head;  // the file's first bytes, for the message if it is no XDF file
  xdf::Parser parser(inputs);
  std::vector<char> piece(kReadPiece);
  bool read_error = false;
  while (parser.Outcome().Ok()) {
    errno = 0;
    const std::size_t got = std::fread(piece.data(), 1, piece.size(), file);
    if (head.size() < 16) head.append(piece.data(), std::min<std::size_t>(got, 16 - head.size()));
    if (got > 0) parser.Feed(std::string_view(piece.data(), got));
    if (got < piece.size()) {
      read_error = std::ferror(file) != 0;
      break;
    }
  }
  std::fclose(file);
  if (read_error) {
    return base::Fail(InputError::kCannotRead, path + ": cannot read the file" + SystemReason());
  }
  parser.End();
  if (!parser.MagicSeen()) {
    return base::Fail(
        InputError::kNotXdf,
        path + (head.empty() ? ": empty file, where an XDF file was expected"
                             : ": not an XDF file: it begins with " + edf::Quote(head) +
                                   ", where an XDF file begins with \"XDF:\""));
  }
  // A limit reached, the reader's or this tool's: not damage to read past.
  if (!parser.Outcome().Ok()) {
    return base::Fail(InputError::kLimit, path + ": " + parser.Outcome().Message());
  }
  XdfContents contents;
  contents.warnings = FileWarnings(parser.Warnings());
  if (request.trigger) {
    auto trigger = inputs.Trigger(path);
    if (!trigger.Ok()) return trigger.Err();
    contents.trigger = std::move(trigger).Value();
    contents.trigger.warnings = contents.warnings;
  }
  if (request.markers) {
    auto markers = inputs.Markers(path);
    if (!markers.Ok()) return markers.Err();
    contents.markers = std::move(markers).Value();
    if (!request.trigger) contents.markers.warnings = contents.warnings;
  }
  if (request.events) {
    auto events = inputs.EventStreams(path);
    if (!events.Ok()) return events.Err();
    contents.events = std::move(events).Value();
  }
  return contents;
}

base::Result<MarkerTimes, InputError> ReadMarkers(const std::string &path,
                                                  const std::string &stream_name) {
  if (IsXdf(path)) {
    XdfRequest request;
    request.markers = true;
    request.marker_stream = stream_name;
    auto contents = ReadXdfInputs(path, request);
    if (!contents.Ok()) return contents.Err();
    return std::move(contents->markers);
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return CannotOpen(path);
  std::string text;
  std::vector<char> piece(kReadPiece);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    text.append(piece.data(), static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxCsvBytes) {
      return base::Fail(InputError::kLimit, path + ": larger than maroquint-align's limit of " +
                                                std::to_string(kMaxCsvBytes) +
                                                " bytes for a CSV file");
    }
  }
  if (in.bad()) return base::Fail(InputError::kCannotRead, path + ": read error");
  auto parsed = ParseMarkerCsv(text);
  if (!parsed.Ok()) return base::Fail(InputError::kBadCsv, path + ": " + parsed.Message());
  MarkerCsv &csv = *parsed;
  MarkerTimes markers;
  markers.times = std::move(csv.times);
  std::sort(markers.times.begin(), markers.times.end());
  markers.description = path + (csv.stream.empty() ? "" : ", stream " + csv.stream);
  if (!markers.times.empty()) {
    markers.recorded_from = markers.times.front();
    markers.recorded_to = markers.times.back();
  }
  return markers;
}

std::string FormatWarning(const FileWarning &warning) {
  return warning.kind + " (" + std::to_string(warning.count) +
         (warning.count == 1 ? " time, " : " times, ") + "first " + warning.first + ")";
}

}  // namespace maroquint::align
