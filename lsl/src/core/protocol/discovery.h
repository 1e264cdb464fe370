// Discovery datagrams: the LSL:shortinfo query a resolver sends to the
// outlets' UDP ports, and the reply that declares a matching stream.
#pragma once

#include "core/stream_info.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace maroquint::lsl::core {

// Which request a datagram on an outlet's UDP socket is, by its first line
// (trimmed), as liblsl's UDP servers dispatch.
enum class DatagramKind { kShortinfo, kTimedata, kOther };
DatagramKind ClassifyDatagram(std::string_view datagram);

struct ShortinfoQuery {
  std::string query;  // no line breaks, no surrounding white space
  uint16_t reply_port = 0;
  std::string query_id;  // a token without white space
};

// "LSL:shortinfo\r\n<query>\r\n<reply-port> <query-id>\r\n"
std::string FormatShortinfoQuery(const ShortinfoQuery &query);
// Bare \n line ends and a missing final line end are accepted; nullopt for
// anything malformed or oversized.
std::optional<ShortinfoQuery> ParseShortinfoQuery(std::string_view datagram);
// A white-space-free token derived from the query text; the same for every
// wave of one resolve.
std::string MakeQueryId(std::string_view query);

// "<query-id>\r\n<short XML>"
std::string FormatShortinfoReply(std::string_view query_id, std::string_view short_xml);
// The stream a reply declares; nullopt for a reply to another query or with
// an unusable declaration.
std::optional<StreamInfo> ParseShortinfoReply(std::string_view datagram, std::string_view query_id);

}  // namespace maroquint::lsl::core
