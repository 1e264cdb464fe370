// Reads byte strings out of the captured liblsl transcripts: a JSON string
// value, decoded from JSON escapes and then from the \r \n \t \\ \xNN
// escapes the capture script wrote.
#ifndef LSL_TESTS_TRANSCRIPT_H
#define LSL_TESTS_TRANSCRIPT_H

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace lsl::test {

inline std::string read_transcript(const std::string &file) {
  std::ifstream in(std::string(LSL_TRANSCRIPT_DIR) + "/" + file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read transcript " + file);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string decode_capture_escapes(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      case '\'':
        out += '\'';
        break;
      case 'x':
        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default:
        out += '\\';
        out += c;
    }
  }
  return out;
}

// The value of the first "key" after the first occurrence of `anchor`
// (empty anchor: from the start), with both layers of escapes undone.
inline std::string transcript_bytes(const std::string &text, const std::string &anchor,
                                    const std::string &key) {
  auto from = anchor.empty() ? 0 : text.find(anchor);
  if (from == std::string::npos) throw std::runtime_error("anchor not found: " + anchor);
  auto pos = text.find("\"" + key + "\": \"", from);
  if (pos == std::string::npos) throw std::runtime_error("key not found: " + key);
  pos += key.size() + 5;
  std::string json;
  for (; pos < text.size() && text[pos] != '"'; ++pos) {
    if (text[pos] == '\\') {
      char c = text[++pos];
      json += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    } else {
      json += text[pos];
    }
  }
  return decode_capture_escapes(json);
}

}  // namespace lsl::test

#endif
