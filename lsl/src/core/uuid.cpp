#include "core/uuid.h"

namespace maroquint::lsl::core {

std::string UuidV4(const std::array<uint8_t, 16> &random_bytes) {
  static const char kHex[] = "0123456789abcdef";
  auto b = random_bytes;
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0x0f];
  }
  return out;
}

}  // namespace maroquint::lsl::core
