// The query language: the text after LSL:shortinfo in every discovery
// datagram and TCP shortinfo request, from any host on the network.
#include "core/query.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto query = maroquint::lsl::core::Query::Compile(text);
  query.Matches(maroquint::fuzz::TranscriptStream());
  return 0;
}
