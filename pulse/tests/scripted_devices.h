#pragma once

// In-process stand-ins for the loopback, the marker outlet and the console,
// all writing into one shared journal so that tests can check the order of
// everything that happened.

#include "base/result.h"
#include "base/text.h"
#include "daq_status.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace maroquint::pulse {

struct Event {
  enum class Kind { kWrite, kRead, kMarker, kCall, kOutput, kKey };
  Kind kind;
  double value = 0.0;  // the level written or the reading returned
  std::string text;    // the call made or the text printed
};

using Journal = std::vector<Event>;

// Steps are numbered from 1 in the order the loopback sees them, across
// cycles. The input at each step comes from a script function of the step
// number and of the level written at that step.
class ScriptedLoopback {
 public:
  using Input = std::function<double(long step, double written)>;

  ScriptedLoopback(Journal &journal, Input input) : journal_(&journal), input_(std::move(input)) {}

  // Status of the write or read of one step (default 0).
  void WriteStatusAt(long step, DaqStatus status) { write_status_[step] = status; }
  void ReadStatusAt(long step, DaqStatus status) { read_status_[step] = status; }
  // Status of every write or read that has none of its own.
  void WriteStatusElsewhere(DaqStatus status) { write_default_ = status; }
  void ReadStatusElsewhere(DaqStatus status) { read_default_ = status; }

  void OpenStatus(DaqStatus status) { open_status_ = status; }
  void ErrorTextIs(std::string text) { error_text_ = std::move(text); }

  DaqStatus Open() {
    journal_->push_back({Event::Kind::kCall, 0.0, "loopback.Open"});
    return open_status_;
  }

  DaqStatus WriteLevel(double level) {
    ++writes_;
    last_written_ = level;
    journal_->push_back({Event::Kind::kWrite, level, {}});
    return StatusFor(write_status_, write_default_, writes_);
  }

  maroquint::base::Result<double, DaqStatus> ReadSample() {
    ++reads_;
    const double reading = input_(reads_, last_written_);
    journal_->push_back({Event::Kind::kRead, reading, {}});
    const DaqStatus status = StatusFor(read_status_, read_default_, reads_);
    if (status < 0)
      return maroquint::base::Fail(status, maroquint::base::Format("read %ld failed", reads_));
    return reading;
  }

  void ErrorText(char (&text)[kErrorTextSize]) {
    journal_->push_back({Event::Kind::kCall, 0.0, "loopback.ErrorText"});
    std::strncpy(text, error_text_.c_str(), kErrorTextSize - 1);
  }

  void Close() { journal_->push_back({Event::Kind::kCall, 0.0, "loopback.Close"}); }

 private:
  static DaqStatus StatusFor(const std::map<long, DaqStatus> &statuses, DaqStatus fallback,
                             long step) {
    const auto found = statuses.find(step);
    return found == statuses.end() ? fallback : found->second;
  }

  Journal *journal_;
  Input input_;
  std::map<long, DaqStatus> write_status_;
  std::map<long, DaqStatus> read_status_;
  DaqStatus write_default_ = 0;
  DaqStatus read_default_ = 0;
  DaqStatus open_status_ = 0;
  std::string error_text_;
  long writes_ = 0;
  long reads_ = 0;
  double last_written_ = 0.0;
};

enum class ScriptedOutletError { kRefused };

class RecordingOutlet {
 public:
  explicit RecordingOutlet(Journal &journal, bool opens = true)
      : journal_(journal), opens_(opens) {}

  maroquint::base::Status<ScriptedOutletError> Open() {
    journal_.push_back({Event::Kind::kCall, 0.0, "outlet.Open"});
    if (!opens_)
      return maroquint::base::Fail(ScriptedOutletError::kRefused, "refused by the script");
    return {};
  }

  void PushMarker() { journal_.push_back({Event::Kind::kMarker, 0.0, {}}); }

  void Close() { journal_.push_back({Event::Kind::kCall, 0.0, "outlet.Close"}); }

 private:
  Journal &journal_;
  bool opens_;
};

class RecordingConsole {
 public:
  explicit RecordingConsole(Journal &journal) : journal_(journal) {}

  void Write(const char *text) {
    output_ += text;
    journal_.push_back({Event::Kind::kOutput, 0.0, text});
  }

  void WaitForKey() { journal_.push_back({Event::Kind::kKey, 0.0, {}}); }

  const std::string &Output() const { return output_; }

 private:
  Journal &journal_;
  std::string output_;
};

// Inputs the tests use most.
inline ScriptedLoopback::Input Connected() {
  return [](long, double written) { return written; };
}

// Follows the output, except that the steps in [from, to] read `value`.
inline ScriptedLoopback::Input ConnectedExcept(long from, long to, double value) {
  return [=](long step, double written) { return step >= from && step <= to ? value : written; };
}

inline std::vector<double> LevelsWritten(const Journal &journal) {
  std::vector<double> levels;
  for (const Event &event : journal)
    if (event.kind == Event::Kind::kWrite) levels.push_back(event.value);
  return levels;
}

// The step after whose read each marker was pushed (1 = after the first read).
inline std::vector<long> MarkerSteps(const Journal &journal) {
  std::vector<long> steps;
  long reads = 0;
  for (const Event &event : journal) {
    if (event.kind == Event::Kind::kRead) ++reads;
    if (event.kind == Event::Kind::kMarker) steps.push_back(reads);
  }
  return steps;
}

}  // namespace maroquint::pulse
