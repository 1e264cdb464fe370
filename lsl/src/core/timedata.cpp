#include "core/timedata.h"

#include "core/stream_info.h"
#include "core/text.h"

#include <cctype>

namespace lsl::core {
namespace {

constexpr std::size_t kMaxProbeBytes = 512;

std::string_view next_token(std::string_view &s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  std::size_t n = 0;
  while (n < s.size() && !std::isspace(static_cast<unsigned char>(s[n]))) ++n;
  auto token = s.substr(0, n);
  s.remove_prefix(n);
  return token;
}

}  // namespace

std::optional<TimeProbe> parse_time_probe(std::string_view datagram) {
  if (datagram.size() > kMaxProbeBytes) return std::nullopt;
  auto eol = datagram.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  if (trim(datagram.substr(0, eol)) != "LSL:timedata") return std::nullopt;
  auto rest = datagram.substr(eol + 1);
  auto id = next_token(rest);
  auto t0_text = next_token(rest);
  if (!parse_int(id) || t0_text.empty()) return std::nullopt;
  auto t0 = parse_double(t0_text);
  if (!t0) return std::nullopt;
  if (!next_token(rest).empty()) return std::nullopt;
  return TimeProbe{std::string(id), *t0};
}

std::string format_time_reply(const TimeProbe &probe, double t1, double t2) {
  return " " + probe.wave_id + " " + format_number(probe.t0) + " " + format_number(t1) + " " +
         format_number(t2);
}

}  // namespace lsl::core
