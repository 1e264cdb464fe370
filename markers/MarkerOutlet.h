#ifndef MAROQUINT_MARKEROUTLET_H
#define MAROQUINT_MARKEROUTLET_H

struct lsl_outlet_struct_;

// The marker stream "Maroquint" on the Lab Streaming Layer network: one
// string channel of irregular rate, one marker per observed pulse.
class MarkerOutlet {
 public:
  static constexpr char kStreamName[] = "Maroquint";
  static constexpr char kStreamType[] = "Markers";
  static constexpr char kSourceId[] = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";
  static constexpr char kMarkerText[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

  MarkerOutlet() = default;
  MarkerOutlet(const MarkerOutlet &) = delete;
  MarkerOutlet &operator=(const MarkerOutlet &) = delete;

  // Declares the stream and creates its outlet; from then on the stream is
  // visible on the network. False when either could not be made. The
  // handles are never released: the stream stays visible until the process
  // exits.
  bool Open();

  // Publishes one marker, stamped by the library with its local clock now.
  // Does nothing when Open has not created an outlet.
  void PushMarker();

 private:
  lsl_outlet_struct_ *outlet_ = nullptr;
};

#endif
