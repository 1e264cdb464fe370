#include "core/time_sync.h"

#include "core/stream_info.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lsl::core {
namespace {

constexpr std::size_t kMaxTimeReplyBytes = 256;

bool parse_finite(std::string_view text, double &out) {
  const std::optional<double> v = parse_double(text);
  if (!v || !std::isfinite(*v)) return false;
  out = *v;
  return true;
}

}  // namespace

std::string format_time_probe(std::int32_t wave_id, double t0) {
  return "LSL:timedata\r\n" + std::to_string(wave_id) + " " + format_number(t0) + "\r\n";
}

std::optional<TimeReply> parse_time_reply(std::string_view datagram) {
  if (datagram.size() > kMaxTimeReplyBytes) return std::nullopt;
  std::vector<std::string> fields;
  std::string field;
  for (char c : datagram) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!field.empty()) fields.push_back(std::move(field));
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(std::move(field));
  if (fields.size() != 4) return std::nullopt;
  TimeReply r;
  char *end = nullptr;
  const long long id = std::strtoll(fields[0].c_str(), &end, 10);
  if (end == fields[0].c_str() || *end != '\0' || id < INT32_MIN || id > INT32_MAX)
    return std::nullopt;
  r.wave_id = static_cast<std::int32_t>(id);
  if (!parse_finite(fields[1], r.t0) || !parse_finite(fields[2], r.t1) ||
      !parse_finite(fields[3], r.t2)) {
    return std::nullopt;
  }
  return r;
}

TimeSyncRound::TimeSyncRound(std::int32_t wave_id, double start, TimeSyncSettings settings)
    : wave_id_(wave_id), start_(start), settings_(settings) {
  probes_.reserve(static_cast<std::size_t>(settings_.probe_count));
}

std::optional<double> TimeSyncRound::next_probe_time() const {
  if (probes_.size() >= static_cast<std::size_t>(settings_.probe_count)) return std::nullopt;
  return start_ + static_cast<double>(probes_.size()) * settings_.probe_interval;
}

std::string TimeSyncRound::take_probe(double now) {
  // Keep t0 as the peer will read it back, so the echo can be matched exactly.
  double sent = now;
  parse_finite(format_number(now), sent);
  probes_.push_back(Probe{sent, std::nullopt});
  return format_time_probe(wave_id_, sent);
}

void TimeSyncRound::on_reply(std::string_view datagram, double now) {
  const std::optional<TimeReply> reply = parse_time_reply(datagram);
  if (!reply || reply->wave_id != wave_id_) return;
  // Probes of one round are probe_interval apart, so a generous tolerance on
  // the reformatted echo still finds the one probe it belongs to.
  Probe *match = nullptr;
  for (Probe &p : probes_) {
    if (std::fabs(p.t0 - reply->t0) < 1e-6) match = &p;
  }
  if (match == nullptr) return;
  const double t0 = match->t0;
  const double rtt = (now - t0) - (reply->t2 - reply->t1);
  if (!match->rtt || rtt < *match->rtt) {
    match->rtt = rtt;
    match->offset = ((reply->t1 - t0) + (reply->t2 - now)) / 2.0;
    match->remote = (reply->t1 + reply->t2) / 2.0;
  }
}

double TimeSyncRound::evaluate_at() const {
  return start_ + settings_.probe_max_rtt + settings_.probe_count * settings_.probe_interval;
}

std::optional<TimeEstimate> TimeSyncRound::evaluate() const {
  int answered = 0;
  const Probe *best = nullptr;
  for (const Probe &p : probes_) {
    if (!p.rtt) continue;
    ++answered;
    if (best == nullptr || *p.rtt < *best->rtt) best = &p;
  }
  if (answered < settings_.min_probes || best == nullptr) return std::nullopt;
  return TimeEstimate{-best->offset, *best->rtt, best->remote};
}

}  // namespace lsl::core
