#include "outlet_detection.h"

#include <algorithm>

namespace maroquint::monitor {

void OutletIdentity::StreamFound(const StreamDescription &stream,
                                 const std::vector<StreamDescription> &others) {
  watch_.report.stream = stream;
  watch_.report.wanted = DescribeQuery(watch_.options.query);
  current_uid_ = stream.uid;
  watch_.records.Tell([&](WatchRecorder &r) { return r.StreamFound(stream, watch_.start); });
  for (const StreamDescription &other : others) OtherStream(other);
}

void OutletIdentity::OtherStream(const StreamDescription &other) {
  WatchReport &report = watch_.report;
  const std::vector<std::string> watched = report.Uids();
  if (std::find(watched.begin(), watched.end(), other.uid) != watched.end()) return;
  for (const StreamDescription &known : report.others)
    if (known.uid == other.uid) return;
  report.others.push_back(other);
  watch_.printer.OtherStream(report.wanted, other, current_uid_);
  const double now = watch_.source.Now();
  watch_.records.Tell([&](WatchRecorder &r) { return r.OtherStreamFound(other, now); });
}

void OutletIdentity::SeeOutlet(const StreamDescription &outlet, bool in_absence, bool in_silence) {
  if (outlet.uid.empty() || outlet.uid == current_uid_) return;
  for (const StreamDescription &other : watch_.report.others)
    if (other.uid == outlet.uid) return;
  const double now = watch_.source.Now();
  watch_.printer.Restart(outlet, current_uid_);
  current_uid_ = outlet.uid;
  restart_pending_ = in_silence;
  restarted_in_absence_ = in_absence;
  watch_.report.restarts.push_back({now - watch_.start, outlet});
  watch_.records.Tell([&](WatchRecorder &r) { return r.OutletChanged(outlet, now); });
}

void OutletIdentity::SeeOutlets(const std::vector<StreamDescription> &outlets, bool gone) {
  if (outlets.empty()) return;
  const bool watched = Watched(outlets);
  if (!watched) {
    const std::string watched_before = current_uid_;
    SeeOutlet(outlets.front(), gone, true);
    // A silence that a restart explains is not a silent outlet.
    silence_explained_ = !gone && current_uid_ != watched_before;
  }
  // Outlets that answer beside the watched one are other streams.
  for (std::size_t i = watched ? 0 : 1; i < outlets.size(); ++i) OtherStream(outlets[i]);
}

void OutletIdentity::SeeMatching(const std::vector<StreamDescription> &matching) {
  if (Watched(matching))
    for (const StreamDescription &stream : matching) OtherStream(stream);
}

bool OutletIdentity::TakeRestartForMarker() {
  const bool restarted = restart_pending_;
  restart_pending_ = false;
  silence_explained_ = false;
  return restarted;
}

bool OutletIdentity::TakeRestartInAbsence() {
  const bool restarted = restarted_in_absence_;
  restarted_in_absence_ = false;
  return restarted;
}

bool OutletIdentity::Watched(const std::vector<StreamDescription> &streams) const {
  return std::any_of(streams.begin(), streams.end(),
                     [&](const StreamDescription &s) { return s.uid == current_uid_; });
}

void OutletPresence::MarkerArrived(double arrived, bool gap) {
  const bool was_gone = presence_.IsGone();
  const WatchEvent event = presence_.MarkerArrived(arrived);
  if (event.kind == WatchEvent::Kind::kBack || gap)
    if (const std::optional<StreamDescription> outlet =
            watch_.source.Outlet(MonitorPacing::kOutlet))
      identity_.SeeOutlet(*outlet, was_gone, true);
  Note(event);
}

void OutletPresence::InletLost(double now) {
  Note(presence_.InletLost(now));
}

bool OutletPresence::LostBy(double now) {
  return Note(presence_.Check(now));
}

void OutletPresence::ProbeIfDue() {
  const double probe_start = watch_.source.Now();
  if (!presence_.ProbeDue(probe_start)) return;
  // A probe that finds nothing has seen no outlet since it began; one
  // that finds the outlet has seen it when it returns.
  const std::vector<StreamDescription> outlets = watch_.source.Present(MonitorPacing::kProbe);
  identity_.SeeOutlets(outlets, presence_.IsGone());
  Note(
      presence_.ProbeResult(outlets.empty() ? probe_start : watch_.source.Now(), !outlets.empty()));
}

bool OutletPresence::Note(const WatchEvent &event) {
  switch (event.kind) {
    case WatchEvent::Kind::kNone:
      return false;
    case WatchEvent::Kind::kSilent:
      watch_.printer.Silent(event.silence, identity_.SilenceExplained());
      return false;
    case WatchEvent::Kind::kGone:
      watch_.printer.Gone(event.silence);
      return false;
    case WatchEvent::Kind::kBack: {
      const bool new_outlet = identity_.TakeRestartInAbsence();
      if (!new_outlet) ++watch_.report.reconnections;
      watch_.printer.Back(event.absence, new_outlet);
      return false;
    }
    case WatchEvent::Kind::kLost:
      watch_.printer.Lost(event.absence);
      return true;
  }
  return false;
}

}  // namespace maroquint::monitor
