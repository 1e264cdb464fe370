#include "amplifier_file.h"

#include <edflib.h>

#include <chrono>
#include <cmath>
#include <ctime>

namespace maroquint::simdaq {

namespace {

constexpr int kSignals = kAmplifierEegChannels + 1;
constexpr int kStatusSignal = kAmplifierEegChannels;
// BioSemi's scale: 24 bits of 1/32 uV.
constexpr int kDigitalMax = 8388607;
constexpr int kDigitalMin = -8388608;
constexpr double kMicrovoltsPerBit = 1.0 / 32.0;
const char *const kEegLabels[kAmplifierEegChannels] = {"A1", "A2", "A3"};

double Seconds(Nanos t) {
  return static_cast<double>(t) / 1e9;
}

}  // namespace

AmplifierFile::AmplifierFile(const std::string &path, int rate, double drift_ppm,
                             const std::string &truth_path)
    : path_(path),
      rate_(rate),
      drift_ppm_(drift_ppm),
      truth_path_(truth_path),
      record_(static_cast<std::size_t>(rate) * kSignals) {}

AmplifierFile::~AmplifierFile() {
  End();
}

bool AmplifierFile::Open(std::string &problem) {
  handle_ = edfopen_file_writeonly(path_.c_str(), EDFLIB_FILETYPE_BDFPLUS, kSignals);
  if (handle_ < 0) {
    problem = "the file cannot be created (EDFlib error " + std::to_string(handle_) + ")";
    return false;
  }
  for (int s = 0; s < kSignals; ++s) {
    const bool status = s == kStatusSignal;
    edf_set_samplefrequency(handle_, s, rate_);
    edf_set_digital_maximum(handle_, s, kDigitalMax);
    edf_set_digital_minimum(handle_, s, kDigitalMin);
    edf_set_physical_maximum(handle_, s, status ? kDigitalMax : kDigitalMax * kMicrovoltsPerBit);
    edf_set_physical_minimum(handle_, s, status ? kDigitalMin : kDigitalMin * kMicrovoltsPerBit);
    edf_set_label(handle_, s, status ? "Status" : kEegLabels[s]);
    edf_set_physical_dimension(handle_, s, status ? "Boolean" : "uV");
    edf_set_transducer(handle_, s, status ? "Triggers and Status" : "Active Electrode");
  }
  edf_set_equipment(handle_, "Simulated amplifier (simdaq), no hardware");
  if (!truth_path_.empty()) {
    truth_ = std::fopen(truth_path_.c_str(), "w");
    if (truth_ == nullptr) {
      edfclose_file(handle_);
      handle_ = -1;
      problem = "the truth file " + truth_path_ + " cannot be created";
      return false;
    }
  }
  return true;
}

void AmplifierFile::Begin(Nanos t0) {
  if (handle_ < 0) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec);
  if (truth_ != nullptr) {
    std::fprintf(truth_,
                 "# Simulated amplifier: true times in seconds on the steady clock (LSL local "
                 "clock)\nt0 %.9f\nrate %d\ndrift_ppm %.17g\n",
                 Seconds(t0), rate_, drift_ppm_);
    std::fflush(truth_);
  }
}

void AmplifierFile::Write(const AmplifierSample &sample) {
  if (handle_ < 0) return;
  for (int s = 0; s < kAmplifierEegChannels; ++s) {
    const double digital = std::round(sample.eeg[s] / kMicrovoltsPerBit);
    record_[static_cast<std::size_t>(s * rate_ + filled_)] = static_cast<int>(
        digital > kDigitalMax ? kDigitalMax : (digital < kDigitalMin ? kDigitalMin : digital));
  }
  record_[static_cast<std::size_t>(kStatusSignal * rate_ + filled_)] = sample.status;
  if (++filled_ == rate_) WriteRecord();
}

void AmplifierFile::WriteRecord() {
  for (int s = 0; s < kSignals; ++s)
    edfwrite_digital_samples(handle_, &record_[static_cast<std::size_t>(s * rate_)]);
  filled_ = 0;
}

void AmplifierFile::RisingEdge(Nanos when) {
  if (truth_ == nullptr) return;
  std::fprintf(truth_, "edge %.9f\n", Seconds(when));
  std::fflush(truth_);
}

void AmplifierFile::End() {
  if (handle_ >= 0) {
    edfclose_file(handle_);
    handle_ = -1;
  }
  if (truth_ != nullptr) {
    std::fclose(truth_);
    truth_ = nullptr;
  }
}

}  // namespace maroquint::simdaq
