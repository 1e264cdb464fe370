#include "mapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "report.h"

namespace maroquint::align {

double Mapping::LslTime(double sample) const {
  if (segments.empty()) return std::numeric_limits<double>::quiet_NaN();
  const Segment *chosen = &segments.front();
  for (const Segment &segment : segments) {
    if (sample >= static_cast<double>(segment.first_sample) - 0.5) chosen = &segment;
  }
  return chosen->a + chosen->b * sample / rate;
}

double Mapping::SampleAt(double lsl_time) const {
  double best = std::numeric_limits<double>::quiet_NaN();
  double best_distance = std::numeric_limits<double>::infinity();
  for (const Segment &segment : segments) {
    const double sample = (lsl_time - segment.a) * rate / segment.b;
    // Within the segment's samples (half a sample either side) the distance
    // is 0; between segments (a clock that stepped forward) the nearer wins.
    const double below = static_cast<double>(segment.first_sample) - 0.5 - sample;
    const double above = sample - (static_cast<double>(segment.last_sample) + 0.5);
    const double distance = std::max({below, above, 0.0});
    if (distance < best_distance) {
      best_distance = distance;
      best = sample;
    }
  }
  return best;
}

Mapping SingleLine(double a, double b, double rate, std::int64_t samples) {
  Segment segment;
  segment.a = a;
  segment.b = b;
  segment.first_sample = 0;
  segment.last_sample = samples > 0 ? samples - 1 : 0;
  segment.a_ci95[0] = segment.a_ci95[1] = a;
  segment.drift_ci95_ppm[0] = segment.drift_ci95_ppm[1] = segment.DriftPpm();
  return Mapping{rate, {segment}};
}

std::string MappingFileJson(const Mapping &mapping) {
  const Segment first = mapping.segments.empty() ? Segment{} : mapping.segments.front();
  std::string out = "{\n  \"formula\": \"lsl_time = a + b * sample_index / rate\",\n";
  out += "  \"inverse_formula\": \"sample_index = (lsl_time - a) * rate / b\",\n";
  out += "  \"a\": " + Number(first.a) + ",\n  \"b\": " + Number(first.b) +
         ",\n  \"rate\": " + Number(mapping.rate) + ",\n";
  out += "  \"piecewise\": " + std::string(mapping.segments.size() > 1 ? "true" : "false") + ",\n";
  out += "  \"segments\": [";
  for (std::size_t k = 0; k < mapping.segments.size(); ++k) {
    const Segment &s = mapping.segments[k];
    out += std::string(k ? "," : "") +
           "\n    {\"first_sample\": " + std::to_string(s.first_sample) +
           ", \"last_sample\": " + std::to_string(s.last_sample) + ", \"a\": " + Number(s.a) +
           ", \"b\": " + Number(s.b) + ", \"pairs\": " + std::to_string(s.pairs) +
           ", \"a_ci95\": [" + Number(s.a_ci95[0]) + ", " + Number(s.a_ci95[1]) +
           "], \"drift_ppm\": " + Number(s.DriftPpm()) + ", \"drift_ci95_ppm\": [" +
           Number(s.drift_ci95_ppm[0]) + ", " + Number(s.drift_ci95_ppm[1]) + "]}";
  }
  out += mapping.segments.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace maroquint::align
