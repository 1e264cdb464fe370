#include "stream_watch.h"

namespace maroquint::monitor {

StreamWatch::StreamWatch(double period, double timeout, double start)
    : period_(period), timeout_(timeout), last_marker_(start), last_probe_(start) {}

WatchEvent StreamWatch::Back(double now) {
  WatchEvent event{WatchEvent::Kind::Back, 0.0, now - gone_since_};
  state_ = State::Live;
  silence_reported_ = false;
  return event;
}

WatchEvent StreamWatch::MarkerArrived(double now) {
  if (state_ == State::Lost) return {};
  last_marker_ = now;
  silence_reported_ = false;
  if (state_ == State::Gone) return Back(now);
  return {};
}

WatchEvent StreamWatch::InletLost(double now) {
  if (state_ != State::Live) return {};
  state_ = State::Gone;
  gone_since_ = now;
  return {WatchEvent::Kind::Gone, now - last_marker_, 0.0};
}

bool StreamWatch::ProbeDue(double now) const {
  if (state_ == State::Lost) return false;
  if (probed_ && now - last_probe_ < kProbeInterval) return false;
  // A gone outlet is looked for at every probe interval; a live one only
  // once markers have been missing for two periods.
  return state_ == State::Gone || now - last_marker_ >= 2.0 * period_;
}

WatchEvent StreamWatch::ProbeResult(double now, bool present) {
  probed_ = true;
  last_probe_ = now;
  switch (state_) {
    case State::Lost:
      return {};
    case State::Gone:
      return present ? Back(now) : WatchEvent{};
    case State::Live:
      if (!present) return InletLost(now);
      if (silence_reported_) return {};
      silence_reported_ = true;
      return {WatchEvent::Kind::Silent, now - last_marker_, 0.0};
  }
  return {};
}

WatchEvent StreamWatch::Check(double now) {
  if (state_ != State::Gone || now - gone_since_ < timeout_) return {};
  state_ = State::Lost;
  return {WatchEvent::Kind::Lost, 0.0, now - gone_since_};
}

}  // namespace maroquint::monitor
