// Small text helpers the line-based protocols and the config reader share.
#pragma once

#include <string>
#include <string_view>

namespace maroquint::lsl::core {

// Without leading and trailing white space (std::isspace).
std::string_view Trim(std::string_view s);
// Lower case (std::tolower): header names and config keys compare case-insensitively.
std::string Lower(std::string_view s);

}  // namespace maroquint::lsl::core
