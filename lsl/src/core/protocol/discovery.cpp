#include "core/protocol/discovery.h"

#include "core/protocol/constants.h"
#include "core/text.h"

namespace maroquint::lsl::core {
namespace {

// Splits off the next line (through '\n'); nullopt when there is none.
std::optional<std::string_view> TakeLine(std::string_view &s) {
  auto eol = s.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  auto line = s.substr(0, eol);
  s.remove_prefix(eol + 1);
  return line;
}

}  // namespace

DatagramKind ClassifyDatagram(std::string_view datagram) {
  auto first = Trim(datagram.substr(0, datagram.find('\n')));
  if (first == kShortinfoMethod) return DatagramKind::kShortinfo;
  if (first == kTimedataMethod) return DatagramKind::kTimedata;
  return DatagramKind::kOther;
}

std::string FormatShortinfoQuery(const ShortinfoQuery &query) {
  std::string out;
  out.reserve(32 + query.query.size() + query.query_id.size());
  out += kShortinfoMethod;
  out += "\r\n";
  out += query.query;
  out += "\r\n";
  out += std::to_string(query.reply_port);
  out += ' ';
  out += query.query_id;
  out += "\r\n";
  return out;
}

std::optional<ShortinfoQuery> ParseShortinfoQuery(std::string_view datagram) {
  if (datagram.size() > kMaxDatagramBytes) return std::nullopt;
  auto rest = datagram;
  auto method = TakeLine(rest);
  if (!method || Trim(*method) != kShortinfoMethod) return std::nullopt;
  auto query = TakeLine(rest);
  if (!query) return std::nullopt;
  auto last = TakeLine(rest);
  auto tail = Trim(last ? *last : rest);
  if (last && !Trim(rest).empty()) return std::nullopt;
  auto space = tail.find_first_of(" \t");
  if (space == std::string_view::npos) return std::nullopt;
  auto port = ParseInt(tail.substr(0, space));
  auto id = Trim(tail.substr(space));
  if (!port || *port < 1 || *port > 65535 || id.empty() ||
      id.find_first_of(" \t\r\n") != std::string_view::npos || id.size() > kMaxQueryIdBytes)
    return std::nullopt;
  ShortinfoQuery request;
  request.query = std::string(Trim(*query));
  if (request.query.size() > kMaxRequestLineBytes) return std::nullopt;
  request.reply_port = static_cast<uint16_t>(*port);
  request.query_id = std::string(id);
  return request;
}

std::string MakeQueryId(std::string_view query) {
  // FNV-1a: stable across compilers and platforms, unlike std::hash.
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : query) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return std::to_string(h);
}

std::string FormatShortinfoReply(std::string_view query_id, std::string_view short_xml) {
  std::string out;
  out.reserve(query_id.size() + 2 + short_xml.size());
  out.append(query_id);
  out.append("\r\n");
  out.append(short_xml);
  return out;
}

std::optional<StreamInfo> ParseShortinfoReply(std::string_view datagram,
                                              std::string_view query_id) {
  const std::size_t eol = datagram.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  std::string_view id = datagram.substr(0, eol);
  while (!id.empty() && (id.back() == '\r' || id.back() == ' ' || id.back() == '\t'))
    id.remove_suffix(1);
  if (id != query_id) return std::nullopt;
  return ParseXml(datagram.substr(eol + 1));
}

}  // namespace maroquint::lsl::core
