#include "stream_watch.h"

namespace maroquint::monitor {

StreamWatch::StreamWatch(double period, double timeout, double start)
    : period_(period), timeout_(timeout), last_marker_(start), last_probe_(start) {}

WatchEvent StreamWatch::Back(double now) {
  WatchEvent event{WatchEvent::Kind::kBack, 0.0, now - gone_since_};
  state_ = State::kLive;
  silence_reported_ = false;
  return event;
}

WatchEvent StreamWatch::MarkerArrived(double now) {
  if (state_ == State::kLost) return {};
  last_marker_ = now;
  silence_reported_ = false;
  if (state_ == State::kGone) return Back(now);
  return {};
}

WatchEvent StreamWatch::InletLost(double now) {
  if (state_ != State::kLive) return {};
  state_ = State::kGone;
  gone_since_ = now;
  return {WatchEvent::Kind::kGone, now - last_marker_, 0.0};
}

bool StreamWatch::ProbeDue(double now) const {
  if (state_ == State::kLost) return false;
  if (probed_ && now - last_probe_ < kProbeInterval) return false;
  // A gone outlet is looked for at every probe interval; a live one only
  // once markers have been missing for two periods.
  return state_ == State::kGone || now - last_marker_ >= 2.0 * period_;
}

WatchEvent StreamWatch::ProbeResult(double now, bool present) {
  probed_ = true;
  last_probe_ = now;
  switch (state_) {
    case State::kLost:
      return {};
    case State::kGone:
      return present ? Back(now) : WatchEvent{};
    case State::kLive:
      if (!present) return InletLost(now);
      if (silence_reported_) return {};
      silence_reported_ = true;
      return {WatchEvent::Kind::kSilent, now - last_marker_, 0.0};
  }
  return {};
}

WatchEvent StreamWatch::Check(double now) {
  if (state_ != State::kGone || now - gone_since_ < timeout_) return {};
  state_ = State::kLost;
  return {WatchEvent::Kind::kLost, 0.0, now - gone_since_};
}

}  // namespace maroquint::monitor
