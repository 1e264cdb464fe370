#pragma once

// JSON for every part's reports, through nlohmann-json: one writer, so that
// escaping and numbers are the same everywhere.

#include <nlohmann/json.hpp>
#include <string>

namespace maroquint::base {

using Json = nlohmann::ordered_json;

// Indented by two, ASCII only, invalid UTF-8 replaced rather than thrown
// on; JSON has no infinities or NaN, so they are written as null.
std::string WriteJson(const Json &value);

}  // namespace maroquint::base
