#include "mapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

base::Json SegmentJson(const Segment &s) {
  return {{"first_sample", s.first_sample},
          {"last_sample", s.last_sample},
          {"a", s.a},
          {"b", s.b},
          {"pairs", s.pairs},
          {"a_ci95", {s.a_ci95[0], s.a_ci95[1]}},
          {"drift_ppm", s.DriftPpm()},
          {"drift_ci95_ppm", {s.drift_ci95_ppm[0], s.drift_ci95_ppm[1]}}};
}

base::Json MappingFileJson(const Mapping &mapping) {
  const Segment first = mapping.segments.empty() ? Segment{} : mapping.segments.front();
  base::Json json;
  json["formula"] = "lsl_time = a + b * sample_index / rate";
  json["inverse_formula"] = "sample_index = (lsl_time - a) * rate / b";
  json["a"] = first.a;
  json["b"] = first.b;
  json["rate"] = mapping.rate;
  json["piecewise"] = mapping.segments.size() > 1;
  base::Json &segments = json["segments"] = base::Json::array();
  for (const Segment &s : mapping.segments) segments.push_back(SegmentJson(s));
  return json;
}

}  // namespace maroquint::align
