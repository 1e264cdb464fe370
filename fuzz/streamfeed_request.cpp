// The request on a new TCP connection to an outlet's data port. Peers send
// it in pieces of any size, so reading it whole and a byte at a time must
// come to the same answer.
#include "core/outlet_protocol.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using lsl::core::TcpRequest;
  using lsl::core::TcpRequestReader;
  const char *bytes = reinterpret_cast<const char *>(data);
  const std::string uid(fuzz::kTranscriptUid);

  TcpRequestReader whole(uid);
  const std::size_t used_whole = whole.feed(bytes, size);

  TcpRequestReader trickle(uid);
  std::size_t used_trickle = 0;
  while (used_trickle < size && trickle.result().kind == TcpRequest::Kind::incomplete)
    used_trickle += trickle.feed(bytes + used_trickle, 1);

  const TcpRequest &a = whole.result();
  const TcpRequest &b = trickle.result();
  if (used_whole != used_trickle || a.kind != b.kind || a.query != b.query ||
      a.max_buffer_length != b.max_buffer_length || a.max_chunk_length != b.max_chunk_length)
    std::abort();
  if (a.kind == TcpRequest::Kind::incomplete && used_whole != size) std::abort();
  return 0;
}
