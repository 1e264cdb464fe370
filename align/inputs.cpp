#include "inputs.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <string_view>

#include "clock_sync.h"
#include "edf_reader.h"
#include "marker_csv.h"
#include "onsets.h"
#include "reader.h"

namespace maroquint::align {
namespace {

std::string Trim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  text.erase(0, text.find_first_not_of(" \t"));
  return text;
}

bool EqualNoCase(const std::string &x, const std::string &y) {
  return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool ReadWholeFile(const std::string &path, std::string &bytes, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the file";
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  bytes = content.str();
  return true;
}

bool LoadXdf(const std::string &path, xdf::File &file, std::vector<std::string> &warnings,
             std::string &error) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  file = xdf::Read(bytes);
  for (const std::string &warning : file.warnings) warnings.push_back(path + ": " + warning);
  if (bytes.substr(0, 4) != "XDF:") {
    error = path + ": not an XDF file";
    return false;
  }
  return true;
}

std::string StreamNames(const xdf::File &file) {
  std::string names;
  for (const xdf::Stream &s : file.streams) {
    names += (names.empty() ? "" : ", ") + ("'" + s.info.name + "'");
  }
  return names.empty() ? "none" : names;
}

// The channel labelled `channel` (case aside), else `channel` as a number
// from 1; -1 when neither.
int FindXdfChannel(const xdf::Stream &stream, const std::string &channel) {
  pugi::xml_document doc;
  doc.load_buffer(stream.header_xml.data(), stream.header_xml.size());
  int index = 0;
  for (const pugi::xml_node node :
       doc.child("info").child("desc").child("channels").children("channel")) {
    if (EqualNoCase(Trim(node.child_value("label")), channel)) return index;
    ++index;
  }
  char *end = nullptr;
  const long number = std::strtol(channel.c_str(), &end, 10);
  if (!channel.empty() && *end == '\0' && number >= 1 && number <= stream.info.channel_count) {
    return static_cast<int>(number - 1);
  }
  return -1;
}

// A BDF or EDF file is read in pieces of this size: memory stays bounded
// whatever the recording's length.
constexpr std::size_t kEdfPieceBytes = std::size_t{1} << 20;

// Trigger channels as the common amplifiers name them: BioSemi's "Status",
// anything with "trig" in it ("Trigger", "TRIG", "DC Trig"), Neuromag's
// "STI 014" or "STI101", and "Markers"; case aside.
bool LooksLikeTriggerChannel(const std::string &label) {
  std::string lower = Trim(label);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool sti =
      lower.rfind("sti", 0) == 0 &&
      (lower.size() == 3 || lower[3] == ' ' || std::isdigit(static_cast<unsigned char>(lower[3])));
  return lower == "status" || lower.find("trig") != std::string::npos || sti ||
         lower.find("marker") != std::string::npos;
}

// The signal labelled `channel` (case aside; annotation signals hold no
// samples), with what the trigger takes from the header; -1 and `error`
// when the file cannot give that channel's onsets.
int ChooseEdfSignal(const edf::Header &header, const std::string &channel, int bit,
                    EegTrigger &trigger, std::string &error) {
  const std::string kind =
      std::string(header.format == edf::Format::kBdf ? "BDF" : "EDF") + (header.plus ? "+" : "");
  if (header.discontinuous) {
    error = "a discontinuous " + kind + " file (" + kind +
            "D): its records may have gaps in time, which sample numbers cannot show; "
            "a continuous file (" +
            kind + "C, or plain " + kind.substr(0, 3) + ") was expected";
    return -1;
  }
  int signal = -1;
  std::string labels;
  for (std::size_t s = 0; s < header.signals.size(); ++s) {
    const edf::Signal &candidate = header.signals[s];
    if (candidate.annotations) continue;
    if (signal < 0 && EqualNoCase(Trim(candidate.label), channel)) {
      signal = static_cast<int>(s);
    } else if (LooksLikeTriggerChannel(candidate.label)) {
      trigger.trigger_like_channels.push_back(candidate.label);
    }
    labels += (labels.empty() ? "" : ", ") + ("'" + candidate.label + "'");
  }
  if (signal < 0) {
    error = "no channel '" + channel + "' (channels: " + (labels.empty() ? "none" : labels) + ")";
    return -1;
  }
  const int bits = header.SampleBytes() * 8;
  if (bit >= bits) {
    error = "bit " + std::to_string(bit) + " is beyond the " + std::to_string(bits) +
            " bits of a " + kind + " sample";
    return -1;
  }
  if (!(header.record_duration_s > 0)) {
    error = "the header's record duration is 0: the file gives no sample rate";
    return -1;
  }
  return signal;
}

}  // namespace

bool IsXdf(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && EqualNoCase(path.substr(dot), ".xdf");
}

bool ReadEdfTrigger(const std::string &path, const std::string &channel, int bit,
                    EegTrigger &trigger, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the file";
    return false;
  }
  edf::Reader reader;
  std::string piece(kEdfPieceBytes, '\0');
  EdgeDetector detector(bit);
  std::vector<std::int32_t> values;
  int signal = -1;
  std::uint64_t read = 0;
  for (bool end = false; !end;) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    read += got;
    if (in.bad()) {
      error = path + ": cannot read the file (a folder, or a disk error) after " +
              std::to_string(read) + " bytes";
      return false;
    }
    reader.Feed(std::string_view(piece.data(), got));
    end = got < piece.size();
    if (end) reader.Finish();
    if (reader.Failed()) {
      error = path + ": " + reader.error();
      return false;
    }
    if (signal < 0 && reader.HasHeader()) {
      signal = ChooseEdfSignal(reader.header(), channel, bit, trigger, error);
      if (signal < 0) {
        error = path + ": " + error;
        return false;
      }
    }
    while (reader.NextRecord()) {
      reader.Values(signal, values);
      detector.Feed(values.data(), values.size());
    }
  }
  const edf::Header &header = reader.header();
  const edf::Signal &chosen = header.signals[static_cast<std::size_t>(signal)];
  trigger.rate = chosen.samples_per_record / header.record_duration_s;
  trigger.description = path + ", channel " + chosen.label + ", bit " + std::to_string(bit) + ", " +
                        std::to_string(trigger.rate) + " Hz";
  for (const edf::Warning &warning : reader.warnings()) {
    // A 32-bit build counts to SIZE_MAX, which only a file beyond 4 GiB of
    // ignored bytes reaches.
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(warning.count, SIZE_MAX));
    trigger.warnings.push_back(
        {edf::Describe(warning.kind), count, "at byte " + std::to_string(warning.at_byte)});
  }
  trigger.onsets = detector.onsets();
  trigger.high_samples = detector.high_samples();
  trigger.samples = detector.samples_seen();
  return true;
}

bool ReadXdfTrigger(const std::string &path, const std::string &stream_name,
                    const std::string &channel, int bit, EegTrigger &trigger,
                    std::vector<std::string> &warnings, std::string &error) {
  xdf::File file;
  if (!LoadXdf(path, file, warnings, error)) return false;
  const xdf::Stream *stream = nullptr;
  int index = -1;
  for (const xdf::Stream &s : file.streams) {
    if (s.info.format == xdf::ChannelFormat::kString) continue;
    if (!stream_name.empty() && s.info.name != stream_name) continue;
    index = FindXdfChannel(s, channel);
    if (index >= 0 || !stream_name.empty()) {
      stream = &s;
      break;
    }
  }
  if (stream == nullptr) {
    error = path + ": " +
            (stream_name.empty() ? "no numeric stream has a channel '" + channel + "'"
                                 : "no numeric stream '" + stream_name + "'") +
            " (streams: " + StreamNames(file) + ")";
    return false;
  }
  if (index < 0) {
    error = path + ": stream '" + stream->info.name + "' has no channel '" + channel +
            "' (give its label or its number from 1)";
    return false;
  }
  if (!(stream->info.nominal_srate > 0)) {
    error = path + ": stream '" + stream->info.name + "' has no nominal rate";
    return false;
  }
  trigger.rate = stream->info.nominal_srate;
  trigger.description = path + ", stream " + stream->info.name + ", channel " + channel + ", bit " +
                        std::to_string(bit) + ", " + std::to_string(trigger.rate) + " Hz";
  const std::size_t channels = static_cast<std::size_t>(stream->info.channel_count);
  EdgeDetector detector(bit);
  detector.Feed(stream->values.data() + index, stream->SampleCount(), channels);
  trigger.onsets = detector.onsets();
  trigger.high_samples = detector.high_samples();
  trigger.samples = detector.samples_seen();
  const std::vector<double> stamps = xdf::SynchronizedTimeStamps(*stream);
  if (!stamps.empty()) {
    trigger.has_span = true;
    trigger.first_time = stamps.front();
    trigger.last_time = stamps.back();
  }
  return true;
}

bool ReadMarkers(const std::string &path, const std::string &stream_name, MarkerTimes &markers,
                 std::vector<std::string> &warnings, std::string &error) {
  if (!IsXdf(path)) {
    std::string text;
    if (!ReadWholeFile(path, text, error)) return false;
    if (!ParseMarkerCsv(text, markers.times, error)) {
      error = path + ": " + error;
      return false;
    }
    std::sort(markers.times.begin(), markers.times.end());
    markers.description = path;
    return true;
  }
  xdf::File file;
  if (!LoadXdf(path, file, warnings, error)) return false;
  const xdf::Stream *stream = file.FindByName(stream_name);
  if (stream == nullptr) {
    error = path + ": no stream '" + stream_name + "' (streams: " + StreamNames(file) + ")";
    return false;
  }
  markers.times = xdf::SynchronizedTimeStamps(*stream);
  std::sort(markers.times.begin(), markers.times.end());
  markers.description = path + ", stream " + stream_name;
  return true;
}

}  // namespace maroquint::align
