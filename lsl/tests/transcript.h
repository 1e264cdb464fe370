// Reads byte strings out of the captured liblsl transcripts: a JSON string
// value, decoded from JSON escapes and then from the \r \n \t \\ \xNN
// escapes the capture script wrote.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace maroquint::lsl::test {

inline std::string ReadTranscript(const std::string &file) {
  std::ifstream in(std::string(LSL_TRANSCRIPT_DIR) + "/" + file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read transcript " + file);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string DecodeCaptureEscapes(const std::string &s) {
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
inline std::string TranscriptBytes(const std::string &text, const std::string &anchor,
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
  return DecodeCaptureEscapes(json);
}

// The objects of the array under "key", each as its JSON text.
inline std::vector<std::string> TranscriptItems(const std::string &text, const std::string &key) {
  auto pos = text.find("\"" + key + "\": [");
  if (pos == std::string::npos) throw std::runtime_error("array not found: " + key);
  std::vector<std::string> items;
  int depth = 0;
  bool in_string = false;
  std::size_t start = 0;
  for (pos = text.find('[', pos) + 1; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (in_string) {
      if (c == '\\')
        ++pos;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      if (depth++ == 0) start = pos;
    } else if (c == '}') {
      if (--depth == 0) items.push_back(text.substr(start, pos - start + 1));
    } else if (c == ']' && depth == 0) {
      break;
    }
  }
  return items;
}

// The number after the first "key" following `anchor`.
inline double TranscriptNumber(const std::string &text, const std::string &anchor,
                               const std::string &key) {
  auto from = anchor.empty() ? 0 : text.find(anchor);
  auto pos = from == std::string::npos ? from : text.find("\"" + key + "\": ", from);
  if (pos == std::string::npos) throw std::runtime_error("number not found: " + key);
  return std::stod(text.substr(pos + key.size() + 4));
}

// Everything one side sent on a recorded TCP connection ("c2s" or "s2c"),
// joined from the captured segments.
inline std::string TranscriptStream(const std::string &text, const std::string &dir) {
  std::string out;
  for (const auto &segment : TranscriptItems(text, "segments"))
    if (segment.find("\"dir\": \"" + dir + "\"") != std::string::npos &&
        segment.find("\"data\": ") != std::string::npos)
      out += TranscriptBytes(segment, "", "data");
  return out;
}

}  // namespace maroquint::lsl::test
