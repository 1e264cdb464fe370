// What an inlet reads from an outlet's data connection: the status line and
// header block, then string samples, in pieces of any size. Reading it whole
// and in small pieces must come to the same status and the same samples.
#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using maroquint::lsl::core::FeedReplyParser;
using maroquint::lsl::core::FeedReplyStatus;
using maroquint::lsl::core::StringSample;

bool operator==(const StringSample &a, const StringSample &b) {
  // Bitwise, so that NaN time stamps compare equal to themselves.
  return std::string_view(reinterpret_cast<const char *>(&a.timestamp), sizeof a.timestamp) ==
             std::string_view(reinterpret_cast<const char *>(&b.timestamp), sizeof b.timestamp) &&
         a.values == b.values;
}

// Pieces of 1 to 13 bytes in turn: every split point is met, and a header
// read again at each piece stays affordable.
std::size_t PieceSize(std::size_t piece) {
  return 1 + piece % 13;
}

// Feeds in pieces until the header is decided; `rest` receives the bytes the
// parser was not given, which a reader hands to the samples.
FeedReplyStatus Trickle(FeedReplyParser &parser, std::string_view bytes, std::string &rest) {
  FeedReplyStatus status = FeedReplyStatus::kNeedMore;
  std::size_t i = 0;
  for (std::size_t piece = 0; i < bytes.size() && status == FeedReplyStatus::kNeedMore; ++piece) {
    const std::string_view chunk = bytes.substr(i, PieceSize(piece));
    status = parser.Feed(chunk);
    i += chunk.size();
  }
  rest = std::string(parser.Remainder()) + std::string(bytes.substr(i));
  return status == FeedReplyStatus::kNeedMore ? parser.Finish() : status;
}

// The samples both ways, with `channels` channels per sample.
void Samples(std::string_view body, std::uint32_t channels, bool big_endian) {
  std::vector<StringSample> whole, trickle;
  maroquint::lsl::core::FeedSampleStream stream_whole(channels, 0.0, big_endian);
  maroquint::lsl::core::FeedSampleStream stream_trickle(channels, 0.0, big_endian);
  const bool ok_whole = stream_whole.Feed(body, whole);
  bool ok_trickle = true;
  for (std::size_t i = 0, piece = 0; i < body.size() && ok_trickle; i += PieceSize(piece++))
    ok_trickle = stream_trickle.Feed(body.substr(i, PieceSize(piece)), trickle);
  if (ok_whole != ok_trickle || whole.size() != trickle.size()) std::abort();
  for (std::size_t i = 0; i < whole.size(); ++i)
    if (!(whole[i] == trickle[i]) || whole[i].values.size() != channels) std::abort();

  // The decoder alone, without the test patterns' check, so that samples
  // beyond a wrong pattern are read too.
  maroquint::lsl::core::StringSampleDecoder decoder(channels + 2, big_endian, 4096);
  std::vector<StringSample> decoded;
  decoder.Feed(body, decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const std::string uid(maroquint::fuzz::kTranscriptUid);

  FeedReplyParser whole(uid);
  FeedReplyStatus status = whole.Feed(bytes);
  if (status == FeedReplyStatus::kNeedMore) status = whole.Finish();
  FeedReplyParser trickle(uid);
  std::string rest;
  if (Trickle(trickle, bytes, rest) != status) std::abort();
  if (status != FeedReplyStatus::kOk) return 0;
  if (whole.Remainder() != rest || whole.Header().big_endian != trickle.Header().big_endian)
    std::abort();
  Samples(whole.Remainder(), 1, whole.Header().big_endian);
  return 0;
}
