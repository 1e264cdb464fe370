#include "settings.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace simdaq {

namespace {

const char *const kFunctionNames[kFunctionCount] = {
    "DAQmxCreateTask",
    "DAQmxCreateAOVoltageChan",
    "DAQmxCreateAIVoltageChan",
    "DAQmxCfgSampClkTiming",
    "DAQmxSetRealTimeConvLateErrorsToWarnings",
    "DAQmxStartTask",
    "DAQmxWriteAnalogF64",
    "DAQmxReadAnalogF64",
    "DAQmxStopTask",
    "DAQmxClearTask",
    "DAQmxGetExtendedErrorInfo",
};

std::string Trim(const std::string &s) {
  const char *blanks = " \t\r";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

bool ParseU64(const std::string &s, std::uint64_t &out) {
  if (s.empty()) return false;
  const char *end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, out);
  return r.ec == std::errc() && r.ptr == end;
}

bool ParseI32(const std::string &s, std::int32_t &out) {
  if (s.empty()) return false;
  const char *begin = s.data();
  if (*begin == '+') ++begin;
  const char *end = s.data() + s.size();
  const auto r = std::from_chars(begin, end, out);
  return r.ec == std::errc() && r.ptr == end;
}

// Accepts decimal numbers and "nan"/"inf" in any case; locale-independent.
bool ParseDouble(const std::string &s, double &out) {
  if (s.empty()) return false;
  const char *begin = s.data();
  if (*begin == '+') ++begin;
  const char *end = s.data() + s.size();
  const auto r = std::from_chars(begin, end, out);
  return r.ec == std::errc() && r.ptr == end;
}

std::string FormatNumber(double value) {
  return std::to_string(static_cast<long long>(value));
}

bool ParseFinite(const std::string &s, double &out) {
  return ParseDouble(s, out) && std::isfinite(out);
}

// Fault texts may carry line breaks written as "\n" and backslashes as "\\".
std::string Unescape(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'n' || s[i + 1] == '\\')) {
      out += s[i + 1] == 'n' ? '\n' : '\\';
      ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

class Parser {
 public:
  explicit Parser(Settings &settings) : s_(settings) {}

  // Returns an empty string on success, else the reason.
  std::string Apply(const std::string &item) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) return "expected key=value";
    const std::string key = Trim(item.substr(0, eq));
    const std::string value = Trim(item.substr(eq + 1));
    if (key == "fault") return ParseFault(value);
    if (key == "cut") return ParseCut(value);
    for (const auto &seen : seen_)
      if (seen == key) return "key '" + key + "' given twice";
    seen_.push_back(key);
    if (amplifier_item_.empty() && key.compare(0, 10, "amplifier_") == 0)
      amplifier_item_ = key + "=" + value;
    if (key == "amplifier_start" || key == "amplifier_stop") window_item_ = key + "=" + value;
    if (key == "clock") {
      if (value == "realtime")
        s_.clock = ClockMode::Realtime;
      else if (value == "virtual")
        s_.clock = ClockMode::Virtual;
      else
        return "clock must be realtime or virtual";
      return {};
    }
    if (key == "strict") {
      if (value == "0")
        s_.strict = false;
      else if (value == "1")
        s_.strict = true;
      else
        return "strict must be 0 or 1";
      return {};
    }
    if (key == "wire") return ParseWire(value);
    if (key == "delay") {
      if (!ParseU64(value, s_.delay) || s_.delay > kMaxDelay)
        return "delay must be a whole number of samples from 0 to " + std::to_string(kMaxDelay);
      return {};
    }
    if (key == "lowpass") {
      if (!ParseFinite(value, s_.lowpass) || s_.lowpass < 0)
        return "lowpass must be a time constant in seconds, 0 or more";
      return {};
    }
    if (key == "noise") {
      if (!ParseFinite(value, s_.noise) || s_.noise < 0)
        return "noise must be a standard deviation in volts, 0 or more";
      return {};
    }
    if (key == "seed") {
      if (!ParseU64(value, s_.seed))
        return "seed must be a whole number from 0 to 18446744073709551615";
      return {};
    }
    if (key == "trace") {
      if (value.empty()) return "trace needs a file path";
      s_.trace = value;
      return {};
    }
    if (key == "hold") {
      if (!ParseFinite(value, s_.hold) || s_.hold < 0 || s_.hold > kMaxHold)
        return "hold must be a number of seconds from 0 to " + FormatNumber(kMaxHold);
      return {};
    }
    if (key == "gate") {
      if (value.empty()) return "gate needs a file path";
      s_.gate = value;
      return {};
    }
    if (key == "amplifier") {
      if (value.empty()) return "amplifier needs a file path";
      s_.amplifier = value;
      return {};
    }
    if (key == "amplifier_rate") {
      if (!ParseFinite(value, s_.amplifier_rate) || s_.amplifier_rate < kMinAmplifierRate ||
          s_.amplifier_rate > kMaxAmplifierRate ||
          s_.amplifier_rate != std::floor(s_.amplifier_rate))
        return "amplifier_rate must be a whole number of samples per second from " +
               FormatNumber(kMinAmplifierRate) + " to " + FormatNumber(kMaxAmplifierRate);
      return {};
    }
    if (key == "amplifier_drift") {
      if (!ParseFinite(value, s_.amplifier_drift) ||
          std::fabs(s_.amplifier_drift) > kMaxAmplifierDrift)
        return "amplifier_drift must be in parts per million, from -" +
               FormatNumber(kMaxAmplifierDrift) + " to " + FormatNumber(kMaxAmplifierDrift);
      return {};
    }
    if (key == "amplifier_start" || key == "amplifier_stop") {
      double &seconds = key == "amplifier_start" ? s_.amplifier_start : s_.amplifier_stop;
      if (!ParseFinite(value, seconds) || seconds < 0 || seconds > kMaxAmplifierWindow)
        return key + " must be a number of seconds after the input task starts, from 0 to " +
               FormatNumber(kMaxAmplifierWindow);
      return {};
    }
    if (key == "amplifier_truth") {
      if (value.empty()) return "amplifier_truth needs a file path";
      s_.amplifier_truth = value;
      return {};
    }
    return "unknown key '" + key + "'";
  }

  // The first amplifier_* setting given, empty if none.
  const std::string &amplifier_item() const { return amplifier_item_; }
  // The last of amplifier_start and amplifier_stop given, empty if neither.
  const std::string &window_item() const { return window_item_; }

 private:
  std::string ParseWire(const std::string &value) {
    if (value == "connected") {
      s_.wire = WireMode::Connected;
    } else if (value == "disconnected") {
      s_.wire = WireMode::Disconnected;
    } else if (value.compare(0, 6, "stuck:") == 0) {
      s_.wire = WireMode::Stuck;
      if (!ParseDouble(Trim(value.substr(6)), s_.stuck_volts))
        return "stuck needs a voltage, as in wire=stuck:2.5";
    } else if (value.compare(0, 7, "script:") == 0) {
      s_.wire = WireMode::Script;
      const std::string list = value.substr(7);
      std::size_t start = 0;
      while (true) {
        const auto comma = list.find(',', start);
        const std::string v = Trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        double d = 0;
        if (!ParseDouble(v, d)) return "script value '" + v + "' is not a number";
        if (s_.script.size() >= kMaxScript)
          return "script has more than " + std::to_string(kMaxScript) + " values";
        s_.script.push_back(d);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else {
      return "wire must be connected, disconnected, stuck:<volts> or script:<v1>,<v2>,...";
    }
    return {};
  }

  std::string ParseCut(const std::string &value) {
    const auto dash = value.find('-');
    Cut cut;
    if (dash == std::string::npos || !ParseU64(Trim(value.substr(0, dash)), cut.from) ||
        !ParseU64(Trim(value.substr(dash + 1)), cut.to) || cut.to <= cut.from)
      return "cut must be <from>-<to> with sample indices from < to";
    s_.cuts.push_back(cut);
    return {};
  }

  std::string ParseFault(const std::string &value) {
    const char *usage =
        "fault must be <Function>#<N>:<status>[:<text>] or <Function>@<sample>:<status>[:<text>]";
    const auto mark = value.find_first_of("#@");
    if (mark == std::string::npos) return usage;
    Fault fault;
    const std::string name = Trim(value.substr(0, mark));
    bool known = false;
    for (int i = 0; i < kFunctionCount; ++i) {
      if (name == kFunctionNames[i]) {
        fault.function = static_cast<Function>(i);
        known = true;
      }
    }
    if (!known) return "unknown function '" + name + "' in fault";
    const auto colon = value.find(':', mark);
    if (colon == std::string::npos) return usage;
    fault.by_sample = value[mark] == '@';
    std::uint64_t when = 0;
    if (!ParseU64(Trim(value.substr(mark + 1, colon - mark - 1)), when)) return usage;
    if (fault.by_sample) {
      fault.sample = when;
    } else {
      if (when == 0) return "fault call numbers start at 1";
      fault.call_number = when;
    }
    const auto colon2 = value.find(':', colon + 1);
    const std::string status = Trim(value.substr(
        colon + 1, colon2 == std::string::npos ? std::string::npos : colon2 - colon - 1));
    if (!ParseI32(status, fault.status) || fault.status == 0)
      return "fault status must be a nonzero 32-bit number (negative: error, positive: warning)";
    if (colon2 != std::string::npos) {
      fault.has_text = true;
      fault.text = Unescape(value.substr(colon2 + 1));
    }
    s_.faults.push_back(fault);
    return {};
  }

  Settings &s_;
  std::vector<std::string> seen_;
  std::string amplifier_item_;
  std::string window_item_;
};

}  // namespace

const char *FunctionName(Function f) {
  return kFunctionNames[static_cast<int>(f)];
}

ParseResult ParseSettings(const std::string &text, bool from_file) {
  ParseResult result;
  Parser parser(result.settings);
  std::size_t line_start = 0;
  for (std::size_t line = 1; line_start <= text.size(); ++line) {
    const auto line_end = text.find('\n', line_start);
    const std::string whole = text.substr(
        line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    const std::string trimmed = Trim(whole);
    if (!(from_file && !trimmed.empty() && trimmed[0] == '#')) {
      std::size_t start = 0;
      while (start <= whole.size()) {
        const auto sep = whole.find(';', start);
        const std::string item =
            Trim(whole.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (!item.empty()) {
          const std::string reason = parser.Apply(item);
          if (!reason.empty()) {
            result.error = "Invalid setting '" + item + "'";
            if (from_file) result.error += " on line " + std::to_string(line);
            result.error += ": " + reason + ".";
            return result;
          }
        }
        if (sep == std::string::npos) break;
        start = sep + 1;
      }
    }
    if (line_end == std::string::npos) break;
    line_start = line_end + 1;
  }
  const Settings &s = result.settings;
  if (s.amplifier.empty() && !parser.amplifier_item().empty()) {
    const std::string &item = parser.amplifier_item();
    result.error = "Invalid setting '" + item + "': " + item.substr(0, item.find('=')) +
                   " needs amplifier=<file.bdf>.";
    return result;
  }
  if (s.amplifier_stop <= s.amplifier_start) {
    result.error = "Invalid setting '" + parser.window_item() +
                   "': amplifier_stop must be later than amplifier_start.";
    return result;
  }
  if (!s.amplifier.empty() && s.clock == ClockMode::Virtual) {
    result.error = "Invalid setting 'amplifier=" + s.amplifier +
                   "': the amplifier samples on a clock of its own in real time, which "
                   "clock=virtual does not have.";
    return result;
  }
  result.ok = true;
  return result;
}

ParseResult ParseEnvironmentValue(const char *value, FileReader read_file) {
  if (value == nullptr || *value == '\0') {
    ParseResult defaults;
    defaults.ok = true;
    return defaults;
  }
  if (value[0] != '@') return ParseSettings(value, false);
  const std::string path = value + 1;
  std::string contents;
  if (path.empty() || !read_file(path, contents)) {
    ParseResult failed;
    failed.error = "Invalid setting SIMDAQ=" + std::string(value) + ": the settings file '" + path +
                   "' cannot be read.";
    return failed;
  }
  ParseResult parsed = ParseSettings(contents, true);
  if (!parsed.ok) parsed.error = "In settings file '" + path + "': " + parsed.error;
  return parsed;
}

}  // namespace simdaq
