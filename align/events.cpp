#include "events.h"

#include <algorithm>
#include <cmath>

#include "base/text.h"

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
  for (const PlacedEvent &e : events.events) {
    const std::string value = EscapeTsvValue(e.value);
    // Nanoseconds: a sample of a 16 kHz amplifier is 61 microseconds.
    out += base::Format("%.9f", e.onset_s) + "\tn/a\t" + std::to_string(e.sample) + "\t" + value +
           "\t" + value + "\t" +
           EscapeTsvValue(e.stream < streams.size() ? streams[e.stream].name : "") + "\n";
  }
  return out;
}

base::Json EventsSidecarJson(const Mapping &mapping) {
  const std::string escaping =
      " In the text, a backslash is written \\\\, a tab \\t, a new line \\n and a carriage "
      "return \\r; an empty text is n/a.";
  auto described = [](const std::string &description) {
    return base::Json{{"Description", description}};
  };
  base::Json json;
  json["onset"] = described(
      "Time of the event from the EEG recording's first sample (sample 0), by the EEG's nominal "
      "rate: the LSL time of the marker mapped through the fitted clock mapping.");
  json["onset"]["Units"] = "s";
  json["duration"] = described("Markers have no duration.");
  json["duration"]["Units"] = "s";
  json["sample"] = described("The EEG sample nearest to the event, from 0.");
  json["value"] = described(
      "The marker as the LSL stream sent it: its text, or its numbers separated by commas." +
      escaping);
  json["trial_type"] = described("The marker's value, as the event's type.");
  json["stream"] = described("Name of the LSL stream that carried the marker.");
  json["SamplingFrequency"] = mapping.rate;
  const std::size_t segments = mapping.segments.size();
  json["GeneratedBy"] = base::Json::array(
      {{{"Name", "maroquint-align"},
        {"Description", "LSL markers mapped onto the EEG samples with " + std::to_string(segments) +
                            " clock mapping segment" + (segments == 1 ? "" : "s")}}});
  return json;
}

}  // namespace maroquint::align
