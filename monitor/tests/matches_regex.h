// A whole-text regular expression match with std::regex (ECMAScript) on every
// platform. gmock's own MatchesRegex uses GoogleTest's simple expressions on
// Windows, which know no character classes such as [0-9].
#ifndef MAROQUINT_MONITOR_TESTS_MATCHES_REGEX_H
#define MAROQUINT_MONITOR_TESTS_MATCHES_REGEX_H

#include <gmock/gmock.h>

#include <regex>
#include <string>

namespace maroquint::monitor {

MATCHER_P(MatchesRegex, pattern, std::string("matches regular expression \"") + pattern + "\"") {
  return std::regex_match(std::string(arg), std::regex(pattern));
}

}  // namespace maroquint::monitor

#endif
