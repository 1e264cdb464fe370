// The requests that open a TCP data connection to an outlet, both halves:
// what an inlet writes (LSL:fullinfo, LSL:shortinfo with a query,
// LSL:streamfeed/110 with its header lines) and the outlet's reader that
// tells them apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace maroquint::lsl::core {

// "LSL:fullinfo\r\n": the outlet answers with the full XML and closes.
std::string FormatFullinfoRequest();
// "LSL:shortinfo\r\n<query>\r\n": the short XML on a match, then close.
std::string FormatInfoQueryRequest(std::string_view query);

struct FeedRequest {
  std::string uid;
  std::string hostname;
  std::string source_id;
  std::string session_id;
  std::int32_t max_buffer_length = 0;  // samples
  std::int32_t max_chunk_length = 0;
};
// The whole request, header lines included, exactly as liblsl's inlet sends
// it for a string stream. Values have no line breaks, ';' or surrounding
// white space.
std::string FormatFeedRequest(const FeedRequest &request);

// Samples the outlet may queue for an inlet: max_buflen is hundreds of
// samples for an irregular stream and seconds for a regular one.
std::int32_t FeedBufferLength(std::int32_t max_buflen, double nominal_srate);

struct TcpRequest {
  enum class Kind {
    kIncomplete,  // feed more bytes
    kFullinfo,    // write the full XML, close
    kShortinfo,   // evaluate `query`; on a match write the short XML; close
    kStreamfeed,  // write the streamfeed reply, then samples (or close when max_buffer_length is 0)
    kNotFound,    // write kNotFoundReply, close
    kVersionNotSupported,  // write kVersionNotSupportedReply, close
    kClose                 // malformed, unsupported or unknown: close without a word
  };
  Kind kind = Kind::kIncomplete;
  std::string query;
  int64_t max_buffer_length = 0;
  int64_t max_chunk_length = 0;
  // What a streamfeed request names; the outlet only checks the uid.
  std::string uid;
  std::string hostname;
  std::string source_id;
  std::string session_id;
};

// Reads one request from a data connection, a byte at a time or all at
// once. Every line and the header block are bounded; past a bound the
// request is malformed (Kind::kClose).
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
  // not consumed (the return value says how many were). Result() tells
  // what the request is once it is no longer incomplete.
  std::size_t Feed(const char *data, std::size_t size);
  const TcpRequest &Result() const { return result_; }

 private:
  enum class State { kRequestLine, kQueryLine, kHeaders, kDone };
  void OnLine(std::string_view line);
  void OnHeader(std::string_view line);
  void FinishStreamfeed();
  void Finish(TcpRequest::Kind kind) {
    result_.kind = kind;
    state_ = State::kDone;
  }

  std::string uid_;
  State state_ = State::kRequestLine;
  std::string line_;
  std::size_t header_bytes_ = 0;
  std::size_t header_lines_ = 0;
  int64_t version_ = 0;
  std::optional<int64_t> protocol_version_header_;
  bool bad_header_ = false;
  TcpRequest result_;
};

}  // namespace maroquint::lsl::core
