#include "inputs.h"

#include <edflib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <sstream>

#include "clock_sync.h"
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

std::string EdfError(int code) {
  switch (code) {
    case EDFLIB_MALLOC_ERROR:
      return "out of memory";
    case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY:
      return "no such file, or it cannot be opened";
    case EDFLIB_FILE_CONTAINS_FORMAT_ERRORS:
      return "not a valid EDF or BDF file";
    case EDFLIB_MAXFILES_REACHED:
      return "too many files open";
    case EDFLIB_FILE_READ_ERROR:
      return "read error";
    case EDFLIB_FILE_ALREADY_OPENED:
      return "file already open";
    case EDFLIB_FILE_IS_DISCONTINUOUS:
      return "discontinuous EDF+/BDF+ files are not supported";
    default:
      return "cannot be read (EDFlib error " + std::to_string(code) + ")";
  }
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
  for (const xdf::Warning &w : file.warnings) {
    warnings.push_back(path + ": " + w.kind + " (" + std::to_string(w.count) + " times, first " +
                       w.first + ")");
  }
  if (!file.error.empty()) {
    error = path + ": " + file.error;
    return false;
  }
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

}  // namespace

bool IsXdf(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && EqualNoCase(path.substr(dot), ".xdf");
}

bool ReadEdfTrigger(const std::string &path, const std::string &channel, int bit,
                    EegTrigger &trigger, std::string &error) {
  // The header holds all 640 possible signals: too big for the stack.
  auto header = std::make_unique<edf_hdr_struct>();
  if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
    error = path + ": " + EdfError(header->filetype);
    return false;
  }
  const int handle = header->handle;
  int signal = -1;
  std::string labels;
  for (int s = 0; s < header->edfsignals; ++s) {
    const std::string label = Trim(header->signalparam[s].label);
    if (signal < 0 && EqualNoCase(label, channel)) signal = s;
    labels += (labels.empty() ? "" : ", ") + ("'" + label + "'");
  }
  if (signal < 0) {
    edfclose_file(handle);
    error = path + ": no channel '" + channel + "' (channels: " + labels + ")";
    return false;
  }
  const edf_param_struct &param = header->signalparam[signal];
  trigger.rate = param.smp_in_datarecord / (header->datarecord_duration * 1e-7);
  trigger.description = path + ", channel " + Trim(param.label) + ", bit " + std::to_string(bit) +
                        ", " + std::to_string(trigger.rate) + " Hz";
  EdgeDetector detector(bit);
  std::vector<int> buffer(1 << 16);
  for (;;) {
    const int count =
        edfread_digital_samples(handle, signal, static_cast<int>(buffer.size()), buffer.data());
    if (count < 0) {
      edfclose_file(handle);
      error = path + ": read error in channel '" + channel + "'";
      return false;
    }
    if (count == 0) break;
    detector.Feed(buffer.data(), static_cast<std::size_t>(count));
  }
  edfclose_file(handle);
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
    MarkerCsv csv;
    if (!ParseMarkerCsv(text, csv, error)) {
      error = path + ": " + error;
      return false;
    }
    markers.times = std::move(csv.times);
    std::sort(markers.times.begin(), markers.times.end());
    markers.description = path + (csv.stream.empty() ? "" : ", stream " + csv.stream);
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
