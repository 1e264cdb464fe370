#include "core/protocol/timedata.h"

#include "core/protocol/constants.h"
#include "core/stream_info.h"
#include "core/text.h"

#include <cctype>
#include <cmath>
#include <vector>

namespace maroquint::lsl::core {
namespace {

std::string_view NextToken(std::string_view &s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  std::size_t n = 0;
  while (n < s.size() && !std::isspace(static_cast<unsigned char>(s[n]))) ++n;
  auto token = s.substr(0, n);
  s.remove_prefix(n);
  return token;
}

}  // namespace

std::string FormatTimeProbe(int32_t wave_id, double t0) {
  return std::string(kTimedataMethod) + "\r\n" + std::to_string(wave_id) + " " + FormatNumber(t0) +
         "\r\n";
}

std::optional<TimeProbe> ParseTimeProbe(std::string_view datagram) {
  if (datagram.size() > kMaxTimeProbeBytes) return std::nullopt;
  auto eol = datagram.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  if (Trim(datagram.substr(0, eol)) != kTimedataMethod) return std::nullopt;
  auto rest = datagram.substr(eol + 1);
  auto id = NextToken(rest);
  auto t0_text = NextToken(rest);
  // liblsl reads the wave id as a C int; the reply must carry it back as one.
  const auto wave_id = ParseInt(id);
  if (!wave_id || *wave_id < INT32_MIN || *wave_id > INT32_MAX || t0_text.empty())
    return std::nullopt;
  auto t0 = ParseDouble(t0_text);
  if (!t0) return std::nullopt;
  if (!NextToken(rest).empty()) return std::nullopt;
  return TimeProbe{std::string(id), *t0};
}

std::string FormatTimeReply(const TimeProbe &probe, double t1, double t2) {
  return " " + probe.wave_id + " " + FormatNumber(probe.t0) + " " + FormatNumber(t1) + " " +
         FormatNumber(t2);
}

std::optional<TimeReply> ParseTimeReply(std::string_view datagram) {
  if (datagram.size() > kMaxTimeReplyBytes) return std::nullopt;
  std::vector<std::string_view> fields;
  for (auto token = NextToken(datagram); !token.empty(); token = NextToken(datagram))
    fields.push_back(token);
  if (fields.size() != 4) return std::nullopt;
  const auto id = ParseInt(fields[0]);
  if (!id || *id < INT32_MIN || *id > INT32_MAX) return std::nullopt;
  TimeReply r;
  r.wave_id = static_cast<int32_t>(*id);
  if (!ParseFinite(fields[1], r.t0) || !ParseFinite(fields[2], r.t1) ||
      !ParseFinite(fields[3], r.t2))
    return std::nullopt;
  return r;
}

}  // namespace maroquint::lsl::core
