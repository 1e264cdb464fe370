// Reading back what the simulated amplifier wrote: its truth file and the
// trigger onsets in its BDF file (with EDFlib, as a user's tool would).
#pragma once

#include <edflib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

namespace maroquint::simdaq::test {

struct Truth {
  double t0 = 0;
  double rate = 0;
  double drift_ppm = 0;
  std::vector<double> edges;  // seconds, the same clock as t0
};

inline Truth ReadTruth(const std::string &path) {
  Truth truth;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    const std::string key = line.substr(0, space);
    const double value = std::stod(line.substr(space + 1));
    if (key == "t0") truth.t0 = value;
    if (key == "rate") truth.rate = value;
    if (key == "drift_ppm") truth.drift_ppm = value;
    if (key == "edge") truth.edges.push_back(value);
  }
  return truth;
}

// The first sample at or after each true edge, on the amplifier's clock,
// for the edges within the first `samples` samples.
inline std::vector<long long> ExpectedOnsets(const Truth &truth, long long samples) {
  std::vector<long long> onsets;
  for (double edge : truth.edges) {
    const double n = (edge - truth.t0) * truth.rate * (1 + truth.drift_ppm * 1e-6);
    // The times in the truth file are rounded to the nanosecond.
    const auto first = static_cast<long long>(std::ceil(n - 1e-5));
    if (first < samples) onsets.push_back(first);
  }
  return onsets;
}

struct BdfStatus {
  int records = 0;
  int rate = 0;
  std::vector<long long> onsets;  // samples where bit 0 of Status rises
  bool only_bit_zero = true;
  double eeg_rms = 0;  // of the first channel, microvolts
};

inline BdfStatus ReadBdfStatus(const std::string &path) {
  BdfStatus result;
  edf_hdr_struct header{};
  if (edfopen_file_readonly(path.c_str(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
    ADD_FAILURE() << path << " does not open with EDFlib (error " << header.filetype << ")";
    return result;
  }
  EXPECT_EQ(header.filetype, EDFLIB_FILETYPE_BDFPLUS);
  EXPECT_EQ(header.edfsignals, 4);
  EXPECT_EQ(std::string(header.signalparam[3].label).substr(0, 6), "Status");
  result.records = static_cast<int>(header.datarecords_in_file);
  result.rate = header.signalparam[3].smp_in_datarecord;
  const auto samples = static_cast<int>(header.signalparam[3].smp_in_file);
  std::vector<int> status(static_cast<std::size_t>(samples));
  std::vector<double> eeg(static_cast<std::size_t>(samples));
  EXPECT_EQ(edfread_digital_samples(header.handle, 3, samples, status.data()), samples);
  EXPECT_EQ(edfread_physical_samples(header.handle, 0, samples, eeg.data()), samples);
  edfclose_file(header.handle);
  double sum_squares = 0;
  for (std::size_t n = 0; n < status.size(); ++n) {
    result.only_bit_zero = result.only_bit_zero && (status[n] == 0 || status[n] == 1);
    if (status[n] == 1 && (n == 0 || status[n - 1] == 0))
      result.onsets.push_back(static_cast<long long>(n));
    sum_squares += eeg[n] * eeg[n];
  }
  if (samples > 0) result.eeg_rms = std::sqrt(sum_squares / samples);
  return result;
}

}  // namespace maroquint::simdaq::test
