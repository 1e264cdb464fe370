#include "lsl_marker_source.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "base/text.h"

namespace maroquint::monitor {
namespace {

constexpr std::uint32_t kMaxStreams = 32;
// Markers pushed before the inlet's connection is up are never delivered, so
// the connection is opened at once rather than at the first pull.
constexpr double kOpenWait = 3.0;
constexpr std::int32_t kMaxBufferedHundreds = 360;
constexpr std::int32_t kRecover = 1;

std::string Text(const char *text) {
  return text ? text : "";
}

// Only string streams: markers are text, and the bundled library's inlet
// reads nothing else.
bool Matches(lsl_streaminfo info, const StreamQuery &query) {
  return (query.name.empty() || Text(lsl_get_name(info)) == query.name) &&
         (query.type.empty() || Text(lsl_get_type(info)) == query.type) &&
         (query.source_id.empty() || Text(lsl_get_source_id(info)) == query.source_id) &&
         lsl_get_channel_format(info) == cft_string && lsl_get_channel_count(info) >= 1;
}

const char *FormatName(lsl_channel_format_t format) {
  switch (format) {
    case cft_float32:
      return "float32";
    case cft_double64:
      return "double64";
    case cft_string:
      return "string";
    case cft_int32:
      return "int32";
    case cft_int16:
      return "int16";
    case cft_int8:
      return "int8";
    case cft_int64:
      return "int64";
    default:
      return "undefined";
  }
}

StreamDescription Description(lsl_streaminfo info) {
  StreamDescription stream;
  stream.name = Text(lsl_get_name(info));
  stream.type = Text(lsl_get_type(info));
  stream.source_id = Text(lsl_get_source_id(info));
  stream.hostname = Text(lsl_get_hostname(info));
  stream.uid = Text(lsl_get_uid(info));
  stream.created_at = lsl_get_created_at(info);
  stream.channel_count = lsl_get_channel_count(info);
  stream.channel_format = FormatName(lsl_get_channel_format(info));
  stream.nominal_srate = lsl_get_nominal_srate(info);
  if (char *xml = lsl_get_xml(info)) {
    stream.xml = xml;
    lsl_destroy_string(xml);
  }
  return stream;
}

// Short looks for what only informs the user: other streams that match, or
// streams that would with letter case ignored.
constexpr double kLookAroundWait = 0.5;
constexpr std::uint32_t kMaxListed = 256;
// The full description (with the outlet's <desc>) comes from the outlet itself.
constexpr double kFullInfoWait = 2.0;

void Sleep(double seconds) {
  if (seconds > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The property a search resolves by; the others are checked on the answers.
const char *PrimaryProperty(const StreamQuery &query) {
  return !query.source_id.empty() ? "source_id" : !query.name.empty() ? "name" : "type";
}
const std::string &PrimaryValue(const StreamQuery &query) {
  return !query.source_id.empty() ? query.source_id : !query.name.empty() ? query.name : query.type;
}

}  // namespace

LslMarkerSource::~LslMarkerSource() {
  Disconnect();
}

double LslMarkerSource::Now() {
  return lsl_local_clock();
}

double LslMarkerSource::SystemTime() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<StreamDescription> LslMarkerSource::List(double wait) {
  std::vector<lsl_streaminfo> found(kMaxListed, nullptr);
  const std::int32_t count = lsl_resolve_all(found.data(), kMaxListed, wait);
  std::vector<StreamDescription> streams;
  for (std::int32_t i = 0; i < count; ++i) {
    streams.push_back(Description(found[i]));
    lsl_destroy_streaminfo(found[i]);
  }
  return streams;
}

bool LslMarkerSource::Connect(lsl_streaminfo info) {
  lsl_inlet inlet = lsl_create_inlet(info, kMaxBufferedHundreds, LSL_NO_PREFERENCE, kRecover);
  if (!inlet) {
    lsl_destroy_streaminfo(info);
    return false;
  }
  std::int32_t ec = lsl_no_error;
  lsl_open_stream(inlet, kOpenWait, &ec);
  if (ec != lsl_no_error) {
    lsl_destroy_inlet(inlet);
    lsl_destroy_streaminfo(info);
    return false;
  }
  Disconnect();
  info_ = info;
  inlet_ = inlet;
  channels_ = lsl_get_channel_count(info);
  return true;
}

void LslMarkerSource::Disconnect() {
  if (inlet_) lsl_destroy_inlet(inlet_);
  if (info_) lsl_destroy_streaminfo(info_);
  inlet_ = nullptr;
  info_ = nullptr;
}

FindResult LslMarkerSource::Find(const StreamQuery &query, double wait) {
  const char *property = PrimaryProperty(query);
  const std::string &value = PrimaryValue(query);
  const double started = Now();
  FindResult result;
  lsl_streaminfo found[kMaxStreams] = {};
  const std::int32_t count =
      lsl_resolve_byprop(found, kMaxStreams, property, value.c_str(), candidates_seen_ + 1, wait);
  if (count < 0) {
    Sleep(wait - (Now() - started));
    return result;
  }
  lsl_streaminfo chosen = nullptr;
  for (std::int32_t i = 0; i < count; ++i) {
    if (Matches(found[i], query)) {
      result.matches.push_back(Description(found[i]));
      if (!chosen) {
        chosen = found[i];
        continue;
      }
    }
    lsl_destroy_streaminfo(found[i]);
  }
  if (!chosen) {
    candidates_seen_ = count;
    result.matches.clear();
    for (const StreamDescription &stream : List(kLookAroundWait)) {
      const auto same = [](const std::string &wanted, const std::string &actual) {
        return wanted.empty() || base::EqualsIgnoreCase(wanted, actual);
      };
      if (same(query.name, stream.name) && same(query.type, stream.type) &&
          same(query.source_id, stream.source_id) && stream.channel_format == "string")
        result.other_case.push_back(stream);
    }
    return result;
  }
  // A search ends at the first answer; a short second one catches another
  // outlet of the same name, e.g. a second instance of the program.
  lsl_streaminfo more[kMaxStreams] = {};
  const std::int32_t more_count =
      lsl_resolve_byprop(more, kMaxStreams, property, value.c_str(), count + 1, kLookAroundWait);
  for (std::int32_t i = 0; i < more_count; ++i) {
    const bool known = std::any_of(
        result.matches.begin(), result.matches.end(),
        [&](const StreamDescription &stream) { return stream.uid == Text(lsl_get_uid(more[i])); });
    if (!known && Matches(more[i], query)) result.matches.push_back(Description(more[i]));
    lsl_destroy_streaminfo(more[i]);
  }
  if (!Connect(chosen)) {
    result.matches.clear();
    return result;
  }
  std::int32_t ec = lsl_no_error;
  if (lsl_streaminfo full = lsl_get_fullinfo(inlet_, kFullInfoWait, &ec)) {
    if (ec == lsl_no_error) result.matches.front().xml = Description(full).xml;
    lsl_destroy_streaminfo(full);
  }
  const StreamDescription &stream = result.matches.front();
  probe_property_ = stream.source_id.empty() ? "uid" : "source_id";
  probe_value_ = stream.source_id.empty() ? stream.uid : stream.source_id;
  return result;
}

Pulled LslMarkerSource::Pull(double wait) {
  Pulled pulled;
  if (!inlet_) {
    Sleep(wait);
    return pulled;
  }
  std::vector<char *> buffer(static_cast<std::size_t>(channels_), nullptr);
  std::int32_t ec = lsl_no_error;
  const double timestamp = lsl_pull_sample_str(inlet_, buffer.data(), channels_, wait, &ec);
  std::string text;
  std::vector<std::string> channels;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (!buffer[i]) continue;
    if (i > 0) text += ',';
    text += buffer[i];
    channels.emplace_back(buffer[i]);
    lsl_destroy_string(buffer[i]);
  }
  if (ec != lsl_no_error) {
    // Without recovery (or when it failed) the inlet stays lost; a new one
    // is made once the outlet is found again.
    Disconnect();
    pulled.kind = Pulled::Kind::kLost;
  } else if (timestamp != 0.0) {
    pulled.kind = Pulled::Kind::kMarker;
    pulled.timestamp = timestamp;
    pulled.text = std::move(text);
    pulled.channels = std::move(channels);
  }
  return pulled;
}

std::optional<ClockEstimate> LslMarkerSource::TimeCorrection(double wait) {
  if (!inlet_) return std::nullopt;
  std::int32_t ec = lsl_no_error;
  double remote_time = 0.0;
  ClockEstimate estimate;
  estimate.correction =
      lsl_time_correction_ex(inlet_, &remote_time, &estimate.round_trip, wait, &ec);
  if (ec != lsl_no_error) return std::nullopt;
  return estimate;
}

std::vector<StreamDescription> LslMarkerSource::Present(double wait) {
  lsl_streaminfo found[kMaxStreams] = {};
  const std::int32_t count = lsl_resolve_byprop(found, kMaxStreams, probe_property_.c_str(),
                                                probe_value_.c_str(), 1, wait);
  std::vector<StreamDescription> outlets;
  for (std::int32_t i = 0; i < count; ++i) outlets.push_back(Description(found[i]));
  for (std::int32_t i = 1; i < count; ++i) lsl_destroy_streaminfo(found[i]);
  if (count <= 0) return outlets;
  if (inlet_)
    lsl_destroy_streaminfo(found[0]);
  else
    Connect(found[0]);
  return outlets;
}

std::optional<StreamDescription> LslMarkerSource::Outlet(double wait) {
  if (!inlet_) return std::nullopt;
  std::int32_t ec = lsl_no_error;
  lsl_streaminfo full = lsl_get_fullinfo(inlet_, wait, &ec);
  if (!full) return std::nullopt;
  std::optional<StreamDescription> outlet;
  if (ec == lsl_no_error) outlet = Description(full);
  lsl_destroy_streaminfo(full);
  return outlet;
}

std::vector<StreamDescription> LslMarkerSource::Matching(const StreamQuery &query, double wait) {
  lsl_streaminfo found[kMaxStreams] = {};
  // Two answers end the look at once: the watched stream and another.
  const std::int32_t count = lsl_resolve_byprop(found, kMaxStreams, PrimaryProperty(query),
                                                PrimaryValue(query).c_str(), 2, wait);
  std::vector<StreamDescription> streams;
  for (std::int32_t i = 0; i < count; ++i) {
    if (Matches(found[i], query)) streams.push_back(Description(found[i]));
    lsl_destroy_streaminfo(found[i]);
  }
  return streams;
}

std::string LslMarkerSource::HostName() {
  // The library names a stream's host when the description is made: the
  // name this machine's own streams carry.
  const lsl_streaminfo info =
      lsl_create_streaminfo("host", "", 1, LSL_IRREGULAR_RATE, cft_string, "");
  if (!info) return {};
  std::string host = Text(lsl_get_hostname(info));
  lsl_destroy_streaminfo(info);
  return host;
}

}  // namespace maroquint::monitor
