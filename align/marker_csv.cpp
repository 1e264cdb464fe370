#include "marker_csv.h"

#include <algorithm>
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

// Passes over the lines that begin with '#'; the monitor's names the
// stream it watched: # maroquint-monitor: stream "NAME"  type "TYPE", ...
void SkipComments(std::string_view &text, std::size_t &line, std::string &stream) {
  constexpr std::string_view kMonitor = "# maroquint-monitor: stream \"";
  while (!text.empty() && text.front() == '#') {
    const std::string_view comment = text.substr(0, text.find('\n'));
    if (comment.substr(0, kMonitor.size()) == kMonitor && stream.empty()) {
      const std::size_t end = comment.find("\"  type \"", kMonitor.size());
      if (end != std::string_view::npos) {
        stream = std::string(comment.substr(kMonitor.size(), end - kMonitor.size()));
      }
    }
    text.remove_prefix(std::min(text.size(), comment.size() + 1));
    ++line;
  }
}

// The next record, and the line it begins on (`line` moves past it).
bool NextRecordAt(std::string_view &text, std::vector<std::string> &fields, std::size_t &line,
                  std::size_t &begins, std::string &stream) {
  SkipComments(text, line, stream);
  const std::string_view before = text;
  if (!NextRecord(text, fields)) return false;
  begins = line;
  const std::string_view record = before.substr(0, before.size() - text.size());
  line += static_cast<std::size_t>(std::count(record.begin(), record.end(), '\n'));
  return true;
}

}  // namespace

base::Result<MarkerCsv, CsvError> ParseMarkerCsv(std::string_view text) {
  MarkerCsv csv;
  std::vector<std::string> fields;
  std::size_t line = 1, begins = 1;
  if (!NextRecordAt(text, fields, line, begins, csv.stream)) {
    return base::Fail(CsvError::kEmpty, "the CSV file is empty");
  }
  std::size_t column = fields.size();
  for (std::size_t c = 0; c < fields.size(); ++c) {
    if (fields[c] == "timestamp") column = c;
  }
  if (column == fields.size()) {
    return base::Fail(CsvError::kNoTimestamp,
                      "the CSV file has no 'timestamp' column in its header row (line " +
                          std::to_string(begins) + ")");
  }
  while (NextRecordAt(text, fields, line, begins, csv.stream)) {
    if (fields.size() == 1 && fields[0].empty()) continue;
    char *end = nullptr;
    const std::string &value = column < fields.size() ? fields[column] : std::string{};
    errno = 0;
    const double t = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0) {
      return base::Fail(CsvError::kNotANumber, "line " + std::to_string(begins) + ": timestamp '" +
                                                   value + "' is not a number");
    }
    csv.times.push_back(t);
  }
  return csv;
}

}  // namespace maroquint::align
