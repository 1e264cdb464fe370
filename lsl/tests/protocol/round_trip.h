// Random messages for the protocol round trips, and a feeder that hands a
// reader the bytes cut in two at a given position.
#pragma once

#include "core/stream_info.h"

#include <random>
#include <string>
#include <string_view>

namespace maroquint::lsl::test {

// Printable text without white space at either end, line breaks or ';'
// (what protocol text fields may carry), 0..max_size bytes.
inline std::string RandomToken(std::mt19937 &rng, std::size_t max_size) {
  static const std::string kChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.='()/:";
  std::string out(rng() % (max_size + 1), ' ');
  for (auto &c : out) c = kChars[rng() % kChars.size()];
  if (out.size() >= 3 && rng() % 2) out[out.size() / 2] = ' ';  // inner blanks are fine
  return out;
}

// Any bytes at all, of 0..max_size.
inline std::string RandomBytes(std::mt19937 &rng, std::size_t max_size) {
  std::string out(rng() % (max_size + 1), '\0');
  for (auto &c : out) c = static_cast<char>(rng());
  return out;
}

inline double RandomDouble(std::mt19937 &rng) {
  std::uniform_real_distribution<double> d(-1e6, 1e6);
  return d(rng);
}

// A declaration with every field the short XML carries set at random.
inline core::StreamInfo RandomStreamInfo(std::mt19937 &rng) {
  core::StreamInfo info;
  info.name = "n" + RandomToken(rng, 20);
  info.type = RandomToken(rng, 20);
  info.channel_count = static_cast<int32_t>(1 + rng() % 64);
  info.nominal_srate = static_cast<double>(rng() % 100000) / 8.0;
  info.channel_format = core::ChannelFormat::kString;
  info.source_id = RandomToken(rng, 30);
  info.created_at = static_cast<double>(rng() % 10000000) / 64.0;
  info.uid = "u" + RandomToken(rng, 36);
  info.session_id = RandomToken(rng, 10);
  info.hostname = RandomToken(rng, 20);
  info.v4data_port = static_cast<uint16_t>(rng());
  info.v4service_port = static_cast<uint16_t>(rng());
  info.v6data_port = static_cast<uint16_t>(rng());
  info.v6service_port = static_cast<uint16_t>(rng());
  return info;
}

// Calls feed() with bytes[0, cut) and then bytes[cut, end).
template <typename Feed>
void FeedInTwo(std::string_view bytes, std::size_t cut, Feed feed) {
  feed(bytes.substr(0, cut));
  feed(bytes.substr(cut));
}

}  // namespace maroquint::lsl::test
