#pragma once

#include <cstddef>
#include <cstdint>

// A status as the device library returns it: negative is an error that ends
// the run, zero is success, positive is a warning that is treated as success.
using DaqStatus = std::int32_t;

// Room for the device library's extended error text, terminator included.
constexpr std::size_t kErrorTextSize = 2048;
