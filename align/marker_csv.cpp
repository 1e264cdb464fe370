#include "marker_csv.h"

#include <cerrno>
#include <cstdlib>

namespace maroquint::align {
namespace {

// Splits off the next record, RFC 4180: quoted fields may hold commas,
// doubled quotes and line breaks.
bool NextRecord(std::string_view &text, std::vector<std::string> &fields) {
  fields.clear();
  if (text.empty()) return false;
  std::string field;
  bool quoted = false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
    } else if (c == '\n') {
      break;
    } else if (c != '\r') {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  text.remove_prefix(std::min(text.size(), i + 1));
  return true;
}

}  // namespace

bool ParseMarkerCsv(std::string_view text, std::vector<double> &times, std::string &error) {
  std::vector<std::string> fields;
  if (!NextRecord(text, fields)) {
    error = "the CSV file is empty";
    return false;
  }
  std::size_t column = fields.size();
  for (std::size_t c = 0; c < fields.size(); ++c) {
    if (fields[c] == "timestamp") column = c;
  }
  if (column == fields.size()) {
    error = "the CSV file has no 'timestamp' column in its header row";
    return false;
  }
  for (std::size_t line = 2; NextRecord(text, fields); ++line) {
    if (fields.size() == 1 && fields[0].empty()) continue;
    char *end = nullptr;
    const std::string &value = column < fields.size() ? fields[column] : std::string{};
    errno = 0;
    const double t = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0) {
      error = "record " + std::to_string(line) + ": timestamp '" + value + "' is not a number";
      return false;
    }
    times.push_back(t);
  }
  return true;
}

}  // namespace maroquint::align
