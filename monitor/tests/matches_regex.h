// Regular expression matches with std::regex (ECMAScript) on every platform.
// gmock's own matchers use GoogleTest's simple expressions on Windows, which
// know no character classes such as [0-9].
//
// Search a long text with ContainsRegex rather than matching it whole with
// "(.|\n)*" around the pattern: std::regex recurses once per character of
// such a match, which overflows the 1 MB stack of a Windows main thread.
#pragma once

#include <gmock/gmock.h>

#include <regex>
#include <string>

namespace maroquint::monitor {

MATCHER_P(MatchesRegex, pattern, std::string("matches regular expression \"") + pattern + "\"") {
  return std::regex_match(std::string(arg), std::regex(pattern));
}

MATCHER_P(ContainsRegex, pattern, std::string("contains regular expression \"") + pattern + "\"") {
  return std::regex_search(std::string(arg), std::regex(pattern));
}

}  // namespace maroquint::monitor
