#pragma once

#include "daq_status.h"
#include "pulse_cycle.h"

namespace maroquint::pulse {

// The console lines of a run.
constexpr char kStartLine[] = "Now sending markers...\n";
constexpr char kDeviceErrorPrefix[] = "DAQmx Error: ";
constexpr char kOutletErrorLine[] = "LSL Error: could not create the marker stream \"Maroquint\"\n";
constexpr char kEndLine[] = "End of program, press Enter key to quit\n";

// Every run ends in a failure: a device error or a marker stream that could
// not be created.
constexpr int kFailureExitStatus = 1;

// The whole run: declare the marker stream, open the loopback, run the
// pulse cycle until the device fails, then report, release the device and
// wait for a key. Console needs `void Write(const char*)` and
// `void WaitForKey()`; Outlet additionally needs an `Open()` that returns a
// maroquint::base::Status and `void Close()`, Loopback `DaqStatus Open()`,
// `void ErrorText(char (&)[kErrorTextSize])` and `void Close()`.
//
// The outlet is closed as soon as the device is released: a stream left
// on the network while the program waits for the key would look alive to
// its consumers, and would keep those that follow its source id from a
// new instance started meanwhile.
template <class Outlet, class Loopback, class Console>
int RunSequence(Outlet &outlet, Loopback &loopback, Console &console) {
  // Zero-filled, so that an error without text prints as an empty text.
  char error_text[kErrorTextSize] = {};

  // Without a stream the markers would go nowhere; the device is not
  // touched at all then.
  if (!outlet.Open()) {
    console.Write(kOutletErrorLine);
    console.Write(kEndLine);
    console.WaitForKey();
    return kFailureExitStatus;
  }
  console.Write(kStartLine);

  DaqStatus status = loopback.Open();
  if (status >= 0) {
    PulseCycle<Loopback, Outlet> cycle;
    status = cycle.Run(outlet, loopback);
  }

  // The text belongs to the tasks, so it is fetched before they are released.
  loopback.ErrorText(error_text);
  loopback.Close();
  outlet.Close();
  console.Write(kDeviceErrorPrefix);
  console.Write(error_text);
  console.Write("\n");
  console.Write(kEndLine);
  console.WaitForKey();
  return kFailureExitStatus;
}

}  // namespace maroquint::pulse
