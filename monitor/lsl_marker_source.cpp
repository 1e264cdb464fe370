#include "lsl_marker_source.h"

#include <chrono>
#include <thread>
#include <vector>

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

void Sleep(double seconds) {
  if (seconds > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

LslMarkerSource::~LslMarkerSource() {
  Disconnect();
}

double LslMarkerSource::Now() {
  return lsl_local_clock();
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

std::optional<StreamDescription> LslMarkerSource::Find(const StreamQuery &query, double wait) {
  const char *property = !query.source_id.empty() ? "source_id"
                         : !query.name.empty()    ? "name"
                                                  : "type";
  const std::string &value = !query.source_id.empty() ? query.source_id
                             : !query.name.empty()    ? query.name
                                                      : query.type;
  const double started = Now();
  lsl_streaminfo found[kMaxStreams] = {};
  const std::int32_t count =
      lsl_resolve_byprop(found, kMaxStreams, property, value.c_str(), candidates_seen_ + 1, wait);
  if (count < 0) {
    Sleep(wait - (Now() - started));
    return std::nullopt;
  }
  lsl_streaminfo chosen = nullptr;
  for (std::int32_t i = 0; i < count; ++i) {
    if (!chosen && Matches(found[i], query))
      chosen = found[i];
    else
      lsl_destroy_streaminfo(found[i]);
  }
  if (!chosen) {
    candidates_seen_ = count;
    return std::nullopt;
  }
  if (!Connect(chosen)) return std::nullopt;
  StreamDescription stream;
  stream.name = Text(lsl_get_name(info_));
  stream.type = Text(lsl_get_type(info_));
  stream.source_id = Text(lsl_get_source_id(info_));
  stream.hostname = Text(lsl_get_hostname(info_));
  stream.uid = Text(lsl_get_uid(info_));
  probe_property_ = stream.source_id.empty() ? "uid" : "source_id";
  probe_value_ = stream.source_id.empty() ? stream.uid : stream.source_id;
  return stream;
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
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (!buffer[i]) continue;
    if (i > 0) text += ',';
    text += buffer[i];
    lsl_destroy_string(buffer[i]);
  }
  if (ec != lsl_no_error) {
    // Without recovery (or when it failed) the inlet stays lost; a new one
    // is made once the outlet is found again.
    Disconnect();
    pulled.kind = Pulled::Kind::Lost;
  } else if (timestamp != 0.0) {
    pulled.kind = Pulled::Kind::Marker;
    pulled.timestamp = timestamp;
    pulled.text = std::move(text);
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

bool LslMarkerSource::Present(double wait) {
  lsl_streaminfo found[kMaxStreams] = {};
  const std::int32_t count = lsl_resolve_byprop(found, kMaxStreams, probe_property_.c_str(),
                                                probe_value_.c_str(), 1, wait);
  if (count <= 0) return false;
  for (std::int32_t i = 1; i < count; ++i) lsl_destroy_streaminfo(found[i]);
  if (inlet_)
    lsl_destroy_streaminfo(found[0]);
  else
    Connect(found[0]);
  return true;
}

}  // namespace maroquint::monitor
