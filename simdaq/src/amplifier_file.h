// The simulated amplifier's recording as BioSemi's acquisition software
// writes it: a 24-bit BDF file (EDFlib writes BDF+) with the EEG channels
// and the Status channel, in data records of one second. Beside it, when
// asked, the truth: the true times on the steady clock (the clock of the LSL
// library's local_clock), in seconds.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"

namespace maroquint::simdaq {

class AmplifierFile : public AmplifierSink {
 public:
  // truth_path may be empty: no truth is written.
  AmplifierFile(const std::string &path, int rate, double drift_ppm, const std::string &truth_path);
  ~AmplifierFile() override;
  AmplifierFile(const AmplifierFile &) = delete;
  AmplifierFile &operator=(const AmplifierFile &) = delete;

  // Creates the files; false with the reason if it cannot.
  bool Open(std::string &problem);

  void Begin(Nanos t0) override;
  void Write(const AmplifierSample &sample) override;
  void RisingEdge(Nanos when) override;
  // Closes the file with its last whole data record; a part of a second at
  // the end is left out.
  void End() override;

 private:
  void WriteRecord();

  std::string path_;
  int rate_;
  double drift_ppm_;
  std::string truth_path_;
  int handle_ = -1;
  std::FILE *truth_ = nullptr;
  std::vector<int> record_;  // one second of each channel, channel after channel
  int filled_ = 0;
};

}  // namespace maroquint::simdaq
