// The file side of maroquint-align: the trigger onsets out of an EEG
// recording (BDF/EDF through EDFlib, or a numeric stream of an XDF file)
// and the marker times out of an XDF file or the monitor's CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace maroquint::align {

struct EegTrigger {
  std::vector<std::int64_t> onsets;  // sample indices
  double rate = 0;                   // nominal samples per second
  std::int64_t samples = 0;
  std::string description;  // file, channel, bit, for the report
  // For an XDF stream: its first and last time stamps on the recorder's
  // clock, the span the markers must overlap.
  bool has_span = false;
  double first_time = 0;
  double last_time = 0;
};

struct MarkerTimes {
  std::vector<double> times;
  std::string description;
};

// Each returns false with a message for the user when the file cannot be
// read or lacks the channel or stream; warnings about a damaged file go to
// `warnings` and do not fail.
bool ReadEdfTrigger(const std::string &path, const std::string &channel, int bit,
                    EegTrigger &trigger, std::string &error);

// `stream` empty: the first numeric stream with a channel labelled `channel`.
bool ReadXdfTrigger(const std::string &path, const std::string &stream, const std::string &channel,
                    int bit, EegTrigger &trigger, std::vector<std::string> &warnings,
                    std::string &error);

// XDF (by extension .xdf, else CSV): the stream's time stamps with the
// clock offsets applied; CSV: the timestamp column.
bool ReadMarkers(const std::string &path, const std::string &stream, MarkerTimes &markers,
                 std::vector<std::string> &warnings, std::string &error);

bool IsXdf(const std::string &path);

}  // namespace maroquint::align
