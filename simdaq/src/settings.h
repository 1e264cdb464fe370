// Settings of the simulated driver: how its clock runs, what the wire from
// ao0 to ai0 does, which calls fail on purpose and where calls are traced.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/result.h"

namespace maroquint::simdaq {

// The API functions in a fixed order; faults and call counters are indexed by it.
enum class Function : int {
  kCreateTask,
  kCreateAoVoltageChan,
  kCreateAiVoltageChan,
  kCfgSampClkTiming,
  kSetRealTimeConvLateErrorsToWarnings,
  kStartTask,
  kWriteAnalogF64,
  kReadAnalogF64,
  kStopTask,
  kClearTask,
  kGetExtendedErrorInfo,
};
constexpr int kFunctionCount = 11;
const char *FunctionName(Function f);

enum class ClockMode { kRealtime, kVirtual };
enum class WireMode { kConnected, kDisconnected, kStuck, kScript };

struct Fault {
  Function function = Function::kCreateTask;
  bool by_sample =
      false;  // false: the call_number-th call; true: first call at sample index >= sample
  std::uint64_t call_number = 0;
  std::uint64_t sample = 0;
  std::int32_t status = 0;
  bool has_text = false;
  std::string text;
};

struct Cut {
  std::uint64_t from = 0;  // first disconnected sample
  std::uint64_t to = 0;    // first sample connected again
};

struct Settings {
  ClockMode clock = ClockMode::kRealtime;
  bool strict = false;
  WireMode wire = WireMode::kConnected;
  double stuck_volts = 0.0;
  std::vector<double> script;
  std::uint64_t delay = 0;
  double lowpass = 0.0;  // time constant in seconds; 0: no filter
  double noise = 0.0;    // standard deviation in volts
  std::uint64_t seed = 1;
  std::vector<Cut> cuts;
  std::vector<Fault> faults;
  std::string trace;               // empty: no trace
  double hold = 0.0;               // seconds of real time before the first sample
  std::string gate;                // empty: no gate; else the file that opens it
  std::string amplifier;           // empty: no amplifier recording
  double amplifier_rate = 2048.0;  // samples per second of its own clock
  double amplifier_drift = 0.0;    // its clock's rate error, parts per million
  std::string amplifier_truth;     // empty: the truth is not written
  // The window the amplifier records, in seconds after the input task
  // starts: a recording made while the program had been running for a
  // while, or stopped before it ends.
  double amplifier_start = 0.0;
  double amplifier_stop = std::numeric_limits<double>::infinity();  // infinity: the run's end
};

// Limits that keep a mistyped setting from exhausting memory.
constexpr std::uint64_t kMaxDelay = 10000000;
constexpr std::size_t kMaxScript = 10000000;
constexpr double kMaxHold = 3600.0;
constexpr double kMinAmplifierRate = 64.0;
constexpr double kMaxAmplifierRate = 65536.0;
constexpr double kMaxAmplifierDrift = 10000.0;
constexpr double kMaxAmplifierWindow = 10000000.0;  // seconds, about 115 days

// Why settings are refused; the message names the setting.
enum class SettingsError {
  kNotKeyValue,      // an item without '='
  kUnknownKey,       // a key the driver does not know
  kGivenTwice,       // a key other than cut and fault given again
  kBadValue,         // a value the key does not take
  kUnknownFunction,  // a fault naming a function the driver does not have
  kNeedsAmplifier,   // an amplifier_* setting without amplifier
  kEmptyWindow,      // amplifier_stop not later than amplifier_start
  kNeedsRealTime,    // the amplifier with clock=virtual
  kUnreadableFile,   // the settings file SIMDAQ=@<path> names cannot be read
  kCannotOpen,       // a file a setting names cannot be opened or created
};

using SettingsResult = maroquint::base::Result<Settings, SettingsError>;

// Parses settings written `key=value`, separated by ';' or line breaks.
// In a settings file (from_file), a line whose first non-blank character is
// '#' is a comment.
SettingsResult ParseSettings(const std::string &text, bool from_file);

// Interprets the value of the SIMDAQ environment variable: inline settings,
// or "@path" naming a settings file. read_file returns false when the file
// cannot be read.
using FileReader = bool (*)(const std::string &path, std::string &contents);
SettingsResult ParseEnvironmentValue(const char *value, FileReader read_file);

}  // namespace maroquint::simdaq
