#pragma once

// The test's side of the simulated device's gate (the setting gate=<file>):
// the device's first start, write or read waits until the test releases
// the gate, which the test does once its consumer is connected. So a test
// waits for the event it needs instead of racing the device's first pulse.

#include <string>

namespace maroquint::harness {

class DeviceGate {
 public:
  // A file of its own in the temporary directory, not there yet.
  DeviceGate();
  ~DeviceGate();  // removes the file
  DeviceGate(const DeviceGate &) = delete;
  DeviceGate &operator=(const DeviceGate &) = delete;

  // The setting that names the gate, "gate=<file>", to add to SIMDAQ.
  std::string Setting() const { return "gate=" + path_; }
  // The file, for a program that names it otherwise (Wine: Z:<path>).
  const std::string &Path() const { return path_; }
  // Opens the gate for good; false if the file cannot be created.
  bool Release();

 private:
  std::string path_;
};

}  // namespace maroquint::harness
