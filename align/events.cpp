#include "events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report.h"

namespace maroquint::align {

PlacedEvents PlaceEvents(const std::vector<EventStream> &streams, const Mapping &mapping,
                         std::int64_t samples) {
  PlacedEvents out;
  for (std::size_t s = 0; s < streams.size(); ++s) {
    const EventStream &stream = streams[s];
    StreamCount count;
    count.name = stream.name;
    count.events = stream.times.size();
    for (std::size_t i = 0; i < stream.times.size(); ++i) {
      const double position = mapping.SampleAt(stream.times[i]);
      // Before the first sample an onset would be negative, which importers
      // drop or refuse.
      if (!(position >= 0)) {
        ++count.before;
        continue;
      }
      if (!(position < static_cast<double>(samples) - 0.5)) {
        ++count.after;
        continue;
      }
      const std::int64_t sample = std::max<std::int64_t>(0, std::llround(position));
      out.events.push_back({position / mapping.rate, sample, s,
                            i < stream.values.size() ? stream.values[i] : std::string()});
      ++count.placed;
    }
    out.counts.push_back(count);
  }
  std::stable_sort(
      out.events.begin(), out.events.end(),
      [](const PlacedEvent &x, const PlacedEvent &y) { return x.onset_s < y.onset_s; });
  return out;
}

std::string EscapeTsvValue(const std::string &value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  // An empty cell reads as missing in BIDS; say so explicitly.
  return out.empty() ? "n/a" : out;
}

std::string EventsTsv(const PlacedEvents &events, const std::vector<EventStream> &streams) {
  std::string out = "onset\tduration\tsample\tvalue\ttrial_type\tstream\n";
  char onset[48];
  for (const PlacedEvent &e : events.events) {
    // Nanoseconds: a sample of a 16 kHz amplifier is 61 microseconds.
    std::snprintf(onset, sizeof onset, "%.9f", e.onset_s);
    const std::string value = EscapeTsvValue(e.value);
    out += std::string(onset) + "\tn/a\t" + std::to_string(e.sample) + "\t" + value + "\t" + value +
           "\t" + EscapeTsvValue(e.stream < streams.size() ? streams[e.stream].name : "") + "\n";
  }
  return out;
}

std::string JsonQuoted(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string EventsSidecarJson(const Mapping &mapping) {
  const std::string escaping =
      " In the text, a backslash is written \\\\\\\\, a tab \\\\t, a new line \\\\n and a "
      "carriage return \\\\r; an empty text is n/a.";
  std::string out = "{\n";
  out +=
      "  \"onset\": {\"Description\": \"Time of the event from the EEG recording's first "
      "sample (sample 0), by the EEG's nominal rate: the LSL time of the marker mapped "
      "through the fitted clock mapping.\", \"Units\": \"s\"},\n";
  out += "  \"duration\": {\"Description\": \"Markers have no duration.\", \"Units\": \"s\"},\n";
  out += "  \"sample\": {\"Description\": \"The EEG sample nearest to the event, from 0.\"},\n";
  out +=
      "  \"value\": {\"Description\": \"The marker as the LSL stream sent it: its text, or "
      "its numbers separated by commas." +
      escaping + "\"},\n";
  out += "  \"trial_type\": {\"Description\": \"The marker's value, as the event's type.\"},\n";
  out += "  \"stream\": {\"Description\": \"Name of the LSL stream that carried the marker.\"},\n";
  out += "  \"SamplingFrequency\": " + Number(mapping.rate) + ",\n";
  out +=
      "  \"GeneratedBy\": [{\"Name\": \"maroquint-align\", \"Description\": \"LSL markers "
      "mapped onto the EEG samples with " +
      std::to_string(mapping.segments.size()) + " clock mapping segment" +
      (mapping.segments.size() == 1 ? "" : "s") + "\"}]\n";
  return out + "}\n";
}

}  // namespace maroquint::align
