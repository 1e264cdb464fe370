// What both ends of the wire agree on: protocol version, method names,
// status lines, sample tags, and the bounds every reader enforces on bytes
// that come from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace maroquint::lsl::core {

// Protocol version x 100; replies announcing a newer major version are refused.
constexpr int32_t kProtocolVersion = 110;

constexpr std::string_view kShortinfoMethod = "LSL:shortinfo";
constexpr std::string_view kFullinfoMethod = "LSL:fullinfo";
constexpr std::string_view kTimedataMethod = "LSL:timedata";
// Followed by the version number ("LSL:streamfeed/110"); the bare name is
// the legacy 1.00 request.
constexpr std::string_view kStreamfeedMethod = "LSL:streamfeed/";

// The status lines liblsl's outlet writes without a line end before closing.
constexpr std::string_view kOkStatusLine = "LSL/110 200 OK";
constexpr std::string_view kNotFoundReply = "LSL/110 404 Not found";
constexpr std::string_view kVersionNotSupportedReply = "LSL/110 505 Version not supported";

// Byte-Order value of a little-endian peer.
constexpr int kLittleEndianOrder = 1234;
constexpr int kBigEndianOrder = 4321;

// Sample tags: the time stamp follows, or the receiver deduces it.
constexpr uint8_t kTagDeducedTimestamp = 1;
constexpr uint8_t kTagTimestamp = 2;
// The time stamp value that asks for tag 1.
constexpr double kDeducedTimestamp = -1.0;
constexpr double kTestPatternTimestamp = 123456.789;

// Largest datagram the outlet reads; anything longer is not a request.
constexpr std::size_t kMaxDatagramBytes = 65536;
constexpr std::size_t kMaxRequestLineBytes = kMaxDatagramBytes / 8;
constexpr std::size_t kMaxHeaderBlockBytes = 16384;
constexpr std::size_t kMaxHeaderLines = 64;
// Longest status line plus header block an outlet may send before it counts as hostile.
constexpr std::size_t kMaxFeedHeaderBytes = 8192;
// Longest single string value accepted from the wire.
constexpr std::uint64_t kMaxStringValueBytes = 16u * 1024u * 1024u;
constexpr std::size_t kMaxTimeProbeBytes = 512;
constexpr std::size_t kMaxTimeReplyBytes = 256;
constexpr std::size_t kMaxQueryIdBytes = 128;

}  // namespace maroquint::lsl::core
