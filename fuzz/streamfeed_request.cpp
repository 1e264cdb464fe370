// The request on a new TCP connection to an outlet's data port. Peers send
// it in pieces of any size, so reading it whole and a byte at a time must
// come to the same answer.
#include "core/protocol/request.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool Same(const maroquint::lsl::core::TcpRequest &a, const maroquint::lsl::core::TcpRequest &b) {
  return a.kind == b.kind && a.query == b.query && a.max_buffer_length == b.max_buffer_length &&
         a.max_chunk_length == b.max_chunk_length && a.uid == b.uid && a.hostname == b.hostname &&
         a.source_id == b.source_id && a.session_id == b.session_id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using maroquint::lsl::core::TcpRequest;
  using maroquint::lsl::core::TcpRequestReader;
  const char *bytes = reinterpret_cast<const char *>(data);
  const std::string uid(maroquint::fuzz::kTranscriptUid);

  TcpRequestReader whole(uid);
  const std::size_t used_whole = whole.Feed(bytes, size);

  TcpRequestReader trickle(uid);
  std::size_t used_trickle = 0;
  while (used_trickle < size && trickle.Result().kind == TcpRequest::Kind::kIncomplete)
    used_trickle += trickle.Feed(bytes + used_trickle, 1);

  const TcpRequest &a = whole.Result();
  if (!Same(a, trickle.Result()) || used_whole != used_trickle) std::abort();
  if (a.kind == TcpRequest::Kind::kIncomplete && used_whole != size) std::abort();

  // A streamfeed request as this library's inlet would write it reads the same.
  if (a.kind != TcpRequest::Kind::kStreamfeed || a.max_buffer_length > INT32_MAX ||
      a.max_chunk_length > INT32_MAX)
    return 0;
  maroquint::lsl::core::FeedRequest request;
  request.uid = a.uid;
  request.hostname = a.hostname;
  request.source_id = a.source_id;
  request.session_id = a.session_id;
  request.max_buffer_length = static_cast<std::int32_t>(a.max_buffer_length);
  request.max_chunk_length = static_cast<std::int32_t>(a.max_chunk_length);
  const std::string written = maroquint::lsl::core::FormatFeedRequest(request);
  TcpRequestReader again(uid);
  if (again.Feed(written.data(), written.size()) != written.size() || !Same(a, again.Result()))
    std::abort();
  return 0;
}
