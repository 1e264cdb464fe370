// The one way the library reports what it cannot tell its caller through a
// return value: a warning of one line on standard error, "lsl: <text>".
#pragma once

#include <functional>
#include <string_view>

namespace maroquint::lsl::net {

// Never throws; safe from any thread.
void LogWarning(std::string_view text) noexcept;

// Where the lines go instead of standard error (each without its line end);
// an empty function restores standard error. For tests.
using LogSink = std::function<void(std::string_view line)>;
void SetLogSink(LogSink sink);

}  // namespace maroquint::lsl::net
