#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace maroquint::lsl::core {

// Random (version 4) UUID text, lowercase 8-4-4-4-12, from 16 random bytes
// the caller draws (the core reads no entropy source itself).
std::string UuidV4(const std::array<uint8_t, 16> &random_bytes);

}  // namespace maroquint::lsl::core
