// Whether the watched stream is alive, told from markers, inlet errors and
// presence probes, all stamped with the monitor's clock by the caller. No I/O
// and no clock of its own, so every transition is testable with exact times.
//
//   Live --(probe finds no outlet | inlet lost)--> Gone
//   Gone --(marker | probe finds the outlet)-----> Live   (reported as Back)
//   Gone --(gone for --timeout)------------------> Lost   (final)
//
// While Live, a silence of two periods or more starts presence probes, one per
// probe interval; the first probe of a silence that finds the outlet is
// reported as Silent (markers missing but the outlet is there).
#pragma once

namespace maroquint::monitor {

struct WatchEvent {
  enum class Kind { kNone, kSilent, kGone, kBack, kLost };
  Kind kind = Kind::kNone;
  double silence = 0.0;  // Silent, Gone: seconds since the last marker (or since the watch began)
  double absence = 0.0;  // Back, Lost: seconds the outlet was gone
};

class StreamWatch {
 public:
  static constexpr double kProbeInterval = 1.0;

  StreamWatch(double period, double timeout, double start);

  WatchEvent MarkerArrived(double now);
  WatchEvent InletLost(double now);
  bool ProbeDue(double now) const;
  WatchEvent ProbeResult(double now, bool present);
  // Lost once the outlet has been gone for the timeout; None otherwise.
  WatchEvent Check(double now);

  bool IsGone() const { return state_ != State::kLive; }
  bool IsLost() const { return state_ == State::kLost; }
  // When the outlet went away, while it is gone or lost.
  double GoneSince() const { return gone_since_; }

 private:
  enum class State { kLive, kGone, kLost };
  WatchEvent Back(double now);

  double period_;
  double timeout_;
  State state_ = State::kLive;
  double last_marker_;  // the watch's start until the first marker
  double last_probe_;
  bool probed_ = false;
  bool silence_reported_ = false;
  double gone_since_ = 0.0;
};

}  // namespace maroquint::monitor
