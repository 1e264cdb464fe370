#include "settings.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>

#include "base/text.h"

namespace maroquint::simdaq {

namespace {

using maroquint::base::Trim;

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

// The whole text as a decimal number, a '+' allowed where a '-' is; for
// doubles also "nan" and "inf" in any case. Locale-independent.
template <typename T>
bool ParseNumber(const std::string &s, T &out) {
  if (s.empty()) return false;
  const char *begin = s.data();
  if (std::is_signed_v<T> && *begin == '+') ++begin;
  const char *end = s.data() + s.size();
  const auto r = std::from_chars(begin, end, out);
  return r.ec == std::errc() && r.ptr == end;
}

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

std::string FormatNumber(double value) {
  return std::to_string(static_cast<long long>(value));
}

bool ParseFinite(const std::string &s, double &out) {
  return ParseNumber(s, out) && std::isfinite(out);
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

using SettingsStatus = maroquint::base::Status<SettingsError>;
using maroquint::base::Fail;

SettingsStatus BadValue(std::string reason) {
  return Fail(SettingsError::kBadValue, std::move(reason));
}

// A key's setter: stores the value it is given, or says why it refuses it
// (the reason alone).
using Setter = std::function<SettingsStatus(Settings &, const std::string &value)>;

template <typename T>
Setter OneOf(T Settings::*field, std::vector<std::pair<std::string, T>> choices,
             std::string refusal) {
  return [=](Settings &s, const std::string &value) {
    for (const auto &choice : choices) {
      if (value == choice.first) {
        s.*field = choice.second;
        return SettingsStatus();
      }
    }
    return BadValue(refusal);
  };
}

Setter Whole(std::uint64_t Settings::*field, std::uint64_t most, std::string refusal) {
  return [=](Settings &s, const std::string &value) {
    std::uint64_t n = 0;
    if (!ParseNumber(value, n) || n > most) return BadValue(refusal);
    s.*field = n;
    return SettingsStatus();
  };
}

// A finite number from least to most; whole_only: without a fraction.
Setter Number(double Settings::*field, double least, double most, std::string refusal,
              bool whole_only = false) {
  return [=](Settings &s, const std::string &value) {
    double d = 0;
    if (!ParseFinite(value, d) || d < least || d > most || (whole_only && d != std::floor(d)))
      return BadValue(refusal);
    s.*field = d;
    return SettingsStatus();
  };
}

Setter Path(std::string Settings::*field, std::string refusal) {
  return [=](Settings &s, const std::string &value) {
    if (value.empty()) return BadValue(refusal);
    s.*field = value;
    return SettingsStatus();
  };
}

SettingsStatus SetWire(Settings &s, const std::string &value) {
  if (value == "connected") {
    s.wire = WireMode::kConnected;
  } else if (value == "disconnected") {
    s.wire = WireMode::kDisconnected;
  } else if (value.compare(0, 6, "stuck:") == 0) {
    s.wire = WireMode::kStuck;
    if (!ParseNumber(Trim(value.substr(6)), s.stuck_volts))
      return BadValue("stuck needs a voltage, as in wire=stuck:2.5");
  } else if (value.compare(0, 7, "script:") == 0) {
    s.wire = WireMode::kScript;
    const std::string list = value.substr(7);
    std::size_t start = 0;
    while (true) {
      const auto comma = list.find(',', start);
      const std::string v =
          Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      double d = 0;
      if (!ParseNumber(v, d)) return BadValue("script value '" + v + "' is not a number");
      if (s.script.size() >= kMaxScript)
        return BadValue("script has more than " + std::to_string(kMaxScript) + " values");
      s.script.push_back(d);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  } else {
    return BadValue("wire must be connected, disconnected, stuck:<volts> or script:<v1>,<v2>,...");
  }
  return {};
}

SettingsStatus AddCut(Settings &s, const std::string &value) {
  const auto dash = value.find('-');
  Cut cut;
  if (dash == std::string::npos || !ParseNumber(Trim(value.substr(0, dash)), cut.from) ||
      !ParseNumber(Trim(value.substr(dash + 1)), cut.to) || cut.to <= cut.from)
    return BadValue("cut must be <from>-<to> with sample indices from < to");
  s.cuts.push_back(cut);
  return {};
}

SettingsStatus AddFault(Settings &s, const std::string &value) {
  const SettingsStatus usage = BadValue(
      "fault must be <Function>#<N>:<status>[:<text>] or <Function>@<sample>:<status>[:<text>]");
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
  if (!known)
    return Fail(SettingsError::kUnknownFunction, "unknown function '" + name + "' in fault");
  const auto colon = value.find(':', mark);
  if (colon == std::string::npos) return usage;
  fault.by_sample = value[mark] == '@';
  std::uint64_t when = 0;
  if (!ParseNumber(Trim(value.substr(mark + 1, colon - mark - 1)), when)) return usage;
  if (fault.by_sample) {
    fault.sample = when;
  } else {
    if (when == 0) return BadValue("fault call numbers start at 1");
    fault.call_number = when;
  }
  const auto colon2 = value.find(':', colon + 1);
  const std::string status = Trim(value.substr(
      colon + 1, colon2 == std::string::npos ? std::string::npos : colon2 - colon - 1));
  if (!ParseNumber(status, fault.status) || fault.status == 0)
    return BadValue(
        "fault status must be a nonzero 32-bit number (negative: error, positive: warning)");
  if (colon2 != std::string::npos) {
    fault.has_text = true;
    fault.text = Unescape(value.substr(colon2 + 1));
  }
  s.faults.push_back(fault);
  return {};
}

// The keys that may be given more than once.
bool Repeatable(const std::string &key) {
  return key == "cut" || key == "fault";
}

const std::map<std::string, Setter> &Setters() {
  static const std::map<std::string, Setter> kTable = {
      {"clock", OneOf(&Settings::clock,
                      {{"realtime", ClockMode::kRealtime}, {"virtual", ClockMode::kVirtual}},
                      "clock must be realtime or virtual")},
      {"strict", OneOf(&Settings::strict, {{"0", false}, {"1", true}}, "strict must be 0 or 1")},
      {"wire", SetWire},
      {"delay",
       Whole(&Settings::delay, kMaxDelay,
             "delay must be a whole number of samples from 0 to " + std::to_string(kMaxDelay))},
      {"lowpass", Number(&Settings::lowpass, 0, kUnbounded,
                         "lowpass must be a time constant in seconds, 0 or more")},
      {"noise", Number(&Settings::noise, 0, kUnbounded,
                       "noise must be a standard deviation in volts, 0 or more")},
      {"seed", Whole(&Settings::seed, std::numeric_limits<std::uint64_t>::max(),
                     "seed must be a whole number from 0 to 18446744073709551615")},
      {"cut", AddCut},
      {"fault", AddFault},
      {"trace", Path(&Settings::trace, "trace needs a file path")},
      {"hold", Number(&Settings::hold, 0, kMaxHold,
                      "hold must be a number of seconds from 0 to " + FormatNumber(kMaxHold))},
      {"gate", Path(&Settings::gate, "gate needs a file path")},
      {"amplifier", Path(&Settings::amplifier, "amplifier needs a file path")},
      {"amplifier_rate",
       Number(&Settings::amplifier_rate, kMinAmplifierRate, kMaxAmplifierRate,
              "amplifier_rate must be a whole number of samples per second from " +
                  FormatNumber(kMinAmplifierRate) + " to " + FormatNumber(kMaxAmplifierRate),
              true)},
      {"amplifier_drift",
       Number(&Settings::amplifier_drift, -kMaxAmplifierDrift, kMaxAmplifierDrift,
              "amplifier_drift must be in parts per million, from -" +
                  FormatNumber(kMaxAmplifierDrift) + " to " + FormatNumber(kMaxAmplifierDrift))},
      {"amplifier_truth", Path(&Settings::amplifier_truth, "amplifier_truth needs a file path")},
      {"amplifier_start",
       Number(&Settings::amplifier_start, 0, kMaxAmplifierWindow,
              "amplifier_start must be a number of seconds after the input task starts, from 0 "
              "to " +
                  FormatNumber(kMaxAmplifierWindow))},
      {"amplifier_stop",
       Number(&Settings::amplifier_stop, 0, kMaxAmplifierWindow,
              "amplifier_stop must be a number of seconds after the input task starts, from 0 "
              "to " +
                  FormatNumber(kMaxAmplifierWindow))},
  };
  return kTable;
}

class Parser {
 public:
  explicit Parser(Settings &settings) : s_(settings) {}

  // The item's key and value applied, or why not (the reason alone).
  SettingsStatus Apply(const std::string &item) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) return Fail(SettingsError::kNotKeyValue, "expected key=value");
    const std::string key = Trim(item.substr(0, eq));
    const std::string value = Trim(item.substr(eq + 1));
    const auto setter = Setters().find(key);
    if (setter == Setters().end())
      return Fail(SettingsError::kUnknownKey, "unknown key '" + key + "'");
    if (!Repeatable(key)) {
      for (const auto &seen : seen_)
        if (seen == key) return Fail(SettingsError::kGivenTwice, "key '" + key + "' given twice");
      seen_.push_back(key);
    }
    if (amplifier_item_.empty() && key.compare(0, 10, "amplifier_") == 0)
      amplifier_item_ = key + "=" + value;
    if (key == "amplifier_start" || key == "amplifier_stop") window_item_ = key + "=" + value;
    return setter->second(s_, value);
  }

  // The first amplifier_* setting given, empty if none.
  const std::string &AmplifierItem() const { return amplifier_item_; }
  // The last of amplifier_start and amplifier_stop given, empty if neither.
  const std::string &WindowItem() const { return window_item_; }

 private:
  Settings &s_;
  std::vector<std::string> seen_;
  std::string amplifier_item_;
  std::string window_item_;
};

}  // namespace

const char *FunctionName(Function f) {
  return kFunctionNames[static_cast<int>(f)];
}

SettingsResult ParseSettings(const std::string &text, bool from_file) {
  Settings s;
  Parser parser(s);
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
          const SettingsStatus applied = parser.Apply(item);
          if (!applied.Ok())
            return Fail(applied.Code(), "Invalid setting '" + item + "'" +
                                            (from_file ? " on line " + std::to_string(line) : "") +
                                            ": " + applied.Message() + ".");
        }
        if (sep == std::string::npos) break;
        start = sep + 1;
      }
    }
    if (line_end == std::string::npos) break;
    line_start = line_end + 1;
  }
  if (s.amplifier.empty() && !parser.AmplifierItem().empty()) {
    const std::string &item = parser.AmplifierItem();
    return Fail(SettingsError::kNeedsAmplifier, "Invalid setting '" + item +
                                                    "': " + item.substr(0, item.find('=')) +
                                                    " needs amplifier=<file.bdf>.");
  }
  if (s.amplifier_stop <= s.amplifier_start)
    return Fail(SettingsError::kEmptyWindow,
                "Invalid setting '" + parser.WindowItem() +
                    "': amplifier_stop must be later than amplifier_start.");
  if (!s.amplifier.empty() && s.clock == ClockMode::kVirtual)
    return Fail(SettingsError::kNeedsRealTime,
                "Invalid setting 'amplifier=" + s.amplifier +
                    "': the amplifier samples on a clock of its own in real time, which "
                    "clock=virtual does not have.");
  return s;
}

SettingsResult ParseEnvironmentValue(const char *value, FileReader read_file) {
  if (value == nullptr || *value == '\0') return Settings();
  if (value[0] != '@') return ParseSettings(value, false);
  const std::string path = value + 1;
  std::string contents;
  if (path.empty() || !read_file(path, contents))
    return Fail(SettingsError::kUnreadableFile, "Invalid setting SIMDAQ=" + std::string(value) +
                                                    ": the settings file '" + path +
                                                    "' cannot be read.");
  SettingsResult parsed = ParseSettings(contents, true);
  if (!parsed.Ok())
    return Fail(parsed.Code(), "In settings file '" + path + "': " + parsed.Message());
  return parsed;
}

}  // namespace maroquint::simdaq
