// Detection: what the outlets the monitor sees and the silences it hears
// mean. OutletIdentity tells which outlet the markers come from (a new uid
// is a restart; one that answers beside the watched one is another stream);
// OutletPresence tells whether the watched outlet is there (silent, gone,
// back, lost) and says so.
#pragma once

#include "stream_watch.h"
#include "watch_output.h"

#include <optional>
#include <string>
#include <vector>

namespace maroquint::monitor {

class OutletIdentity {
 public:
  explicit OutletIdentity(WatchContext &watch) : watch_(watch) {}

  void StreamFound(const StreamDescription &stream, const std::vector<StreamDescription> &others);
  // Another stream that matches; one already known or watched is not news.
  void OtherStream(const StreamDescription &other);
  // The outlet the connection reaches: a new uid is a restart. `in_silence`:
  // no marker came from the new outlet yet, so the next one's interval
  // spans the restart.
  void SeeOutlet(const StreamDescription &outlet, bool in_absence, bool in_silence);
  // The outlets a probe found: the watched one, or one new outlet the
  // connection moves to (a restart), and any other is another stream.
  void SeeOutlets(const std::vector<StreamDescription> &outlets, bool gone);
  // The streams a look while markers flow found: only one that answers
  // beside the watched outlet is another stream, not a restart.
  void SeeMatching(const std::vector<StreamDescription> &matching);

  // A marker arrived: whether its interval spans a restart. The silence it
  // ends needs no more explaining.
  bool TakeRestartForMarker();
  // The outlet came back: whether as a new one.
  bool TakeRestartInAbsence();
  bool SilenceExplained() const { return silence_explained_; }

 private:
  bool Watched(const std::vector<StreamDescription> &streams) const;

  WatchContext &watch_;
  std::string current_uid_;
  bool restart_pending_ = false;       // the next marker's interval spans a restart
  bool restarted_in_absence_ = false;  // the outlet came back as a new one
  bool silence_explained_ = false;     // the silence is a restart's
};

class OutletPresence {
 public:
  OutletPresence(WatchContext &watch, OutletIdentity &identity)
      : watch_(watch),
        identity_(identity),
        presence_(watch.options.period, watch.options.timeout, watch.start) {}

  // A marker after a gap (`gap`) or an absence may come from a new outlet.
  void MarkerArrived(double arrived, bool gap);
  void InletLost(double now);
  // True once the outlet has been gone for --timeout: the stream is lost.
  bool LostBy(double now);
  // Looks for the outlet once a silence or an absence calls for it.
  void ProbeIfDue();

  bool IsGone() const { return presence_.IsGone(); }
  double GoneSince() const { return presence_.GoneSince(); }

 private:
  // Prints what an event of the outlet's presence means; true for the
  // final one, Lost.
  bool Note(const WatchEvent &event);

  WatchContext &watch_;
  OutletIdentity &identity_;
  StreamWatch presence_;
};

}  // namespace maroquint::monitor
