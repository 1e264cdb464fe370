// The outlet's side of the wire, without sockets: discovery datagrams in and
// replies out, and the TCP request reader that decides what a data
// connection is for.
#ifndef LSL_CORE_OUTLET_PROTOCOL_H
#define LSL_CORE_OUTLET_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lsl::core {

// Largest datagram the outlet reads; anything longer is not a request.
constexpr std::size_t kMaxDatagramBytes = 65536;
constexpr std::size_t kMaxRequestLineBytes = kMaxDatagramBytes / 8;
constexpr std::size_t kMaxHeaderBlockBytes = 16384;
constexpr std::size_t kMaxHeaderLines = 64;

enum class DatagramKind { shortinfo, timedata, other };
// By the first line, trimmed, as liblsl's UDP servers dispatch.
DatagramKind classify_datagram(std::string_view datagram);

struct ShortinfoRequest {
  std::string query;
  uint16_t reply_port = 0;
  std::string query_id;
};
// "LSL:shortinfo\r\n<query>\r\n<reply-port> <query-id>\r\n" (bare \n line
// ends accepted); nullopt for anything malformed.
std::optional<ShortinfoRequest> parse_shortinfo_request(std::string_view datagram);
// "<query-id>\r\n<short XML>"
std::string format_shortinfo_reply(std::string_view query_id, std::string_view short_xml);

// The status lines liblsl writes without a line end before closing.
constexpr std::string_view kNotFoundReply = "LSL/110 404 Not found";
constexpr std::string_view kVersionNotSupportedReply = "LSL/110 505 Version not supported";

// "LSL/110 200 OK" header block for `uid` followed by the two test
// patterns of a string stream with `channel_count` channels.
std::string streamfeed_ok_reply(std::string_view uid, std::size_t channel_count);

struct TcpRequest {
  enum class Kind {
    incomplete,  // feed more bytes
    fullinfo,    // write the full XML, close
    shortinfo,   // evaluate `query`; on a match write the short XML; close
    streamfeed,  // write streamfeed_ok_reply, then samples (or close when max_buffer_length is 0)
    not_found,   // write kNotFoundReply, close
    version_not_supported,  // write kVersionNotSupportedReply, close
    close                   // malformed, unsupported or unknown: close without a word
  };
  Kind kind = Kind::incomplete;
  std::string query;
  int64_t max_buffer_length = 0;
  int64_t max_chunk_length = 0;
};

// Reads one request from a data connection, a byte at a time or all at
// once. Every line and the header block are bounded; past a bound the
// request is malformed (Kind::close).
//
// A streamfeed request whose blank line follows the request line directly
// (no header lines) is taken as complete with all defaults, so it gets the
// handshake and, Max-Buffer-Length being 0 then, a close. liblsl's outlet
// never answers such a request and leaves the connection hanging; a
// definite answer costs nothing and frees the connection.
class TcpRequestReader {
 public:
  explicit TcpRequestReader(std::string uid) : uid_(std::move(uid)) {}

  // Consumes bytes until the request is complete; bytes after that are
  // not consumed (the return value says how many were). result() tells
  // what the request is once it is no longer incomplete.
  std::size_t feed(const char *data, std::size_t size);
  const TcpRequest &result() const { return result_; }

 private:
  enum class State { request_line, query_line, headers, done };
  void on_line(std::string_view line);
  void finish_streamfeed();
  void finish(TcpRequest::Kind kind) {
    result_.kind = kind;
    state_ = State::done;
  }

  std::string uid_;
  State state_ = State::request_line;
  std::string line_;
  std::size_t header_bytes_ = 0;
  std::size_t header_lines_ = 0;
  int64_t version_ = 0;
  std::optional<int64_t> protocol_version_header_;
  std::string requested_uid_;
  bool bad_header_ = false;
  TcpRequest result_;
};

}  // namespace lsl::core

#endif
