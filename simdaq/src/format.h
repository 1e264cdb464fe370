// Text forms of call arguments, shared by the trace and the error texts.
#pragma once

#include <string>

namespace maroquint::simdaq {

// Shortest text that reads back as the same double: "10", "2.5", "nan", "-inf".
std::string FormatDouble(double value);
void AppendDouble(std::string &out, double value);

// A C string literal, or NULL for a null pointer.
void AppendQuoted(std::string &out, const char *text);

}  // namespace maroquint::simdaq
