#include "format.h"

#include <charconv>
#include <cmath>

namespace maroquint::simdaq {

void AppendDouble(std::string &out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, r.ptr);
}

std::string FormatDouble(double value) {
  std::string s;
  AppendDouble(s, value);
  return s;
}

void AppendQuoted(std::string &out, const char *text) {
  if (text == nullptr) {
    out += "NULL";
    return;
  }
  out += '"';
  for (const char *p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          // Three octal digits, so that a following digit cannot join the escape.
          const char octal[5] = {'\\', static_cast<char>('0' + (c >> 6)),
                                 static_cast<char>('0' + ((c >> 3) & 7)),
                                 static_cast<char>('0' + (c & 7)), '\0'};
          out += octal;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace maroquint::simdaq
