// The file side of maroquint-align: the trigger onsets out of an EEG
// recording (BDF/EDF through edf/, or a numeric stream of an XDF file)
// and the marker times out of an XDF file or the monitor's CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "events.h"

namespace maroquint::align {

// How reading an input fails.
enum class InputError {
  kCannotRead,   // the file cannot be opened or read (the system's reason)
  kNotXdf,       // an XDF file was expected
  kNotEdf,       // no EDF or BDF file, or a header that makes no sense
  kUnsupported,  // not what the tool aligns: EDF+D, a bit beyond the sample, no rate
  kLimit,        // a limit of a reader or of the tool reached (the message names it)
  kNoChannel,    // no such trigger channel (the message lists what there is)
  kNoStream,     // no such stream (likewise)
  kBadCsv,       // the marker CSV has no timestamp column or a value that is no number
};

// A kind of problem found in an input file, with how often it was met:
// reported once per kind, not once per occurrence.
struct FileWarning {
  std::string kind;  // e.g. "damaged chunk, skipped to the next boundary"
  std::size_t count = 0;
  std::string first;  // where it was first met, e.g. "at byte 1234"
};

struct EegTrigger {
  std::vector<std::int64_t> onsets;  // sample indices
  // Per onset: samples the trigger bit stayed set, -1 if still set at the end.
  std::vector<std::int64_t> high_samples;
  double rate = 0;  // nominal samples per second
  std::int64_t samples = 0;
  std::string description;  // file, channel, bit, for the report
  // Other channels whose label or values look like a trigger channel, for
  // the message when the chosen one does not.
  std::vector<std::string> trigger_like_channels;
  std::vector<FileWarning> warnings;
  // For an XDF stream, per onset: the onset sample's time stamp on the
  // recorder's clock (clock offsets applied). The EEG and the markers are
  // then on one clock, which tells the pairing apart from its shifts.
  std::vector<double> onset_stamps;
  // For an XDF stream: its first and last time stamps on the recorder's
  // clock, the span the markers must overlap.
  bool has_span = false;
  double first_time = 0;
  double last_time = 0;
  // Onsets (sample indices) where (value & check_mask) of the same channel
  // goes from 0 to non-zero: the experiment's hardware triggers, when a
  // mask was given.
  std::vector<std::int64_t> check_onsets;
};

struct MarkerTimes {
  std::vector<double> times;
  std::string description;
  // The span in which the marker recorder is known to have been recording
  // the stream (its markers and, in XDF, the clock offsets it measured of
  // that stream), on the same clock as `times`.
  double recorded_from = 0;
  double recorded_to = 0;
  // Standard errors of the clock offsets applied to the time stamps: of
  // the offset at the middle of the markers, and of its slope (seconds per
  // second); 0 where no offsets were applied.
  double offset_se_s = 0;
  double offset_slope_se = 0;
  std::vector<FileWarning> warnings;
};

// Each fails, with a message for the user, when the file cannot be read
// or lacks the channel or stream; warnings about a damaged file go to
// `warnings` and do not fail.
// `check_mask`, when not 0, also fills trigger.check_onsets.
base::Result<EegTrigger, InputError> ReadEdfTrigger(const std::string &path,
                                                    const std::string &channel, int bit,
                                                    std::uint64_t check_mask = 0);

// How a FileWarning reads in a message: "KIND (N times, first at byte X)".
std::string FormatWarning(const FileWarning &warning);

// What to take out of one XDF file.
struct XdfRequest {
  // The trigger onsets of an EEG stream: `eeg_stream`, or when empty the
  // first numeric stream with a channel `channel` (its label, case aside,
  // or its number from 1), and `bit` of that channel.
  bool trigger = false;
  std::string eeg_stream;
  std::string channel;
  int bit = 0;
  // The time stamps of the stream named `marker_stream`.
  bool markers = false;
  std::string marker_stream;
  // The onsets on these bits of the trigger channel (trigger.check_onsets).
  std::uint64_t check_mask = 0;
  // The experiment's events: the streams named in `event_streams`, or when
  // empty every marker stream (irregular rate) but `marker_stream`.
  bool events = false;
  std::vector<std::string> event_streams;
};

// What one XDF file gave, as the request asked.
struct XdfContents {
  EegTrigger trigger;
  MarkerTimes markers;
  std::vector<EventStream> events;  // clock offsets applied, in the file's order
  // The file's; also in `trigger.warnings` when the trigger was asked for,
  // else in `markers.warnings`.
  std::vector<FileWarning> warnings;
};

// Reads an XDF file once, in pieces, in memory that does not grow with the
// file: only the trigger channel is decoded, its values go through the
// edge detector and are dropped; of the EEG stream only the time stamps at
// onsets and its first and last are kept, of the marker stream its time
// stamps; then each stream's clock offsets are applied. Fails when the
// file cannot be read, is not XDF, reaches a limit (the message names it)
// or lacks what was asked for (a named event stream too).
base::Result<XdfContents, InputError> ReadXdfInputs(const std::string &path,
                                                    const XdfRequest &request);

// XDF (by extension .xdf: ReadXdfInputs for the markers alone), else the
// monitor's CSV (--csv or --output): its timestamp column, on the sender's
// clock.
base::Result<MarkerTimes, InputError> ReadMarkers(const std::string &path,
                                                  const std::string &stream);

bool IsXdf(const std::string &path);

}  // namespace maroquint::align
