#pragma once

#include "base/result.h"

struct lsl_outlet_struct_;

namespace maroquint::markers {

// How opening the stream can fail.
enum class MarkerOutletError { kDeclaration, kOutlet };

// The marker stream "Maroquint" on the Lab Streaming Layer network: one
// string channel of irregular rate, one marker per observed pulse.
class MarkerOutlet {
 public:
  static constexpr char kStreamName[] = "Maroquint";
  static constexpr char kStreamType[] = "Markers";
  static constexpr char kSourceId[] = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";
  static constexpr char kMarkerText[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

  MarkerOutlet() = default;
  ~MarkerOutlet() { Close(); }
  MarkerOutlet(const MarkerOutlet &) = delete;
  MarkerOutlet &operator=(const MarkerOutlet &) = delete;

  // Declares the stream and creates its outlet; from then on the stream is
  // visible on the network. Fails when either could not be made. The
  // declaration is released once the outlet holds its own copy.
  maroquint::base::Status<MarkerOutletError> Open();

  // Publishes one marker, stamped by the library with its local clock now.
  // Does nothing when no outlet is open.
  void PushMarker();

  // Destroys the outlet: the stream leaves the network, and consumers that
  // follow its source id wait for the next instance. Does nothing when no
  // outlet is open.
  void Close();

 private:
  lsl_outlet_struct_ *outlet_ = nullptr;
};

}  // namespace maroquint::markers
