// The exported C functions: each takes the process-wide lock and hands the
// call to the one simulated driver, which is built from the SIMDAQ
// environment variable at the first call.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "NIDAQmx.h"
#include "driver.h"
#include "platform.h"

#if defined(SIMDAQ_HAVE_EDFLIB)
#include "amplifier_file.h"
#endif
#if !defined(_WIN32)
#include <csignal>
#endif

#if defined(_WIN32)
#define SIMDAQ_EXPORT __declspec(dllexport)
#else
#define SIMDAQ_EXPORT __attribute__((visibility("default")))
#endif

namespace {

struct Process {
  std::mutex mutex;
  simdaq::SteadyClock clock;
  simdaq::FileTraceSink trace;
  simdaq::DeviceReservation reservation;
  std::unique_ptr<simdaq::AmplifierSink> amplifier;
  std::unique_ptr<simdaq::FileGate> gate;
  std::unique_ptr<simdaq::Driver> driver;
};

#if !defined(_WIN32)
// Ctrl+C or a termination request while the amplifier records: the handler
// only notes it; the next call, which comes within a sample period, finishes
// the file, then the signal does what it did before. Outside the recording
// the program's own handling stands, so that Ctrl+C still ends a program
// that waits for a key.
volatile std::sig_atomic_t g_stop_signal = 0;
bool g_catching = false;
struct sigaction g_previous_int, g_previous_term;

void NoteStopSignal(int signal_number) {
  g_stop_signal = signal_number;
}

void CatchStopSignals(bool catching) {
  if (catching == g_catching) return;
  g_catching = catching;
  if (!catching) {
    sigaction(SIGINT, &g_previous_int, nullptr);
    sigaction(SIGTERM, &g_previous_term, nullptr);
    return;
  }
  struct sigaction action = {};
  action.sa_handler = NoteStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &g_previous_int);
  sigaction(SIGTERM, &action, &g_previous_term);
}

void FollowRecording(simdaq::Driver &driver) {
  if (g_stop_signal != 0) {
    const int signal_number = g_stop_signal;
    g_stop_signal = 0;
    driver.FinishRecording();
    CatchStopSignals(false);
    std::raise(signal_number);
    return;
  }
  CatchStopSignals(driver.recording());
}
#endif

// Constant-initialized, so it exists before any caller's static
// initializers run, and its destructor closes the trace file at exit.
Process g_process;

// The amplifier's file, or null with parsed turned into a settings error.
std::unique_ptr<simdaq::AmplifierSink> OpenAmplifier(simdaq::SettingsResult &parsed) {
  const simdaq::Settings &s = *parsed;
  std::string problem;
#if defined(SIMDAQ_HAVE_EDFLIB)
  auto file = std::make_unique<simdaq::AmplifierFile>(
      s.amplifier, static_cast<int>(s.amplifier_rate), s.amplifier_drift, s.amplifier_truth);
  if (file->Open(problem)) return file;
#else
  problem = "this build of the simulated driver has no amplifier (EDFlib was not found)";
#endif
  parsed =
      maroquint::base::Fail(simdaq::SettingsError::kCannotOpen,
                            "Invalid setting 'amplifier=" + s.amplifier + "': " + problem + ".");
  return nullptr;
}

simdaq::Driver &DriverLocked(Process &p) {
  if (!p.driver) {
    // Standard output belongs to the program; this goes where its user still sees it.
    std::fputs(
        "Simulated NI-DAQmx driver: no hardware is driven; Dev1 is a virtual device (see "
        "SIMDAQ).\n",
        stderr);
    simdaq::SettingsResult parsed =
        simdaq::ParseEnvironmentValue(std::getenv("SIMDAQ"), &simdaq::ReadWholeFile);
    if (parsed && !parsed->trace.empty() && !p.trace.Open(parsed->trace))
      parsed = maroquint::base::Fail(simdaq::SettingsError::kCannotOpen,
                                     "Invalid setting 'trace=" + parsed->trace +
                                         "': the file cannot be opened for appending.");
    if (parsed && !parsed->amplifier.empty()) p.amplifier = OpenAmplifier(parsed);
    if (parsed && !parsed->gate.empty()) p.gate = std::make_unique<simdaq::FileGate>(parsed->gate);
    simdaq::TraceSink *trace = parsed && !parsed->trace.empty() ? &p.trace : nullptr;
    p.driver = std::make_unique<simdaq::Driver>(parsed, &p.clock, trace, &p.reservation,
                                                p.amplifier.get(), p.gate.get());
  }
  return *p.driver;
}

// Nothing may escape into the caller's C code. Running out of memory is the
// only exception the driver can meet; it reports the driver's "memory full".
template <typename Call>
int32 Guarded(Call call) {
  try {
    Process &p = g_process;
    std::lock_guard<std::mutex> lock(p.mutex);
    simdaq::Driver &driver = DriverLocked(p);
    const int32 status = call(driver);
#if !defined(_WIN32)
    FollowRecording(driver);
#endif
    return status;
  } catch (...) {
    return simdaq::code::kMemoryFull;
  }
}

}  // namespace

extern "C" {

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateTask(const char taskName[], TaskHandle *taskHandle) {
  return Guarded([&](simdaq::Driver &d) { return d.CreateTask(taskName, taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateAOVoltageChan(TaskHandle taskHandle,
                                                     const char physicalChannel[],
                                                     const char nameToAssignToChannel[],
                                                     float64 minVal, float64 maxVal, int32 units,
                                                     const char customScaleName[]) {
  return Guarded([&](simdaq::Driver &d) {
    return d.CreateAOVoltageChan(taskHandle, physicalChannel, nameToAssignToChannel, minVal, maxVal,
                                 units, customScaleName);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCreateAIVoltageChan(TaskHandle taskHandle,
                                                     const char physicalChannel[],
                                                     const char nameToAssignToChannel[],
                                                     int32 terminalConfig, float64 minVal,
                                                     float64 maxVal, int32 units,
                                                     const char customScaleName[]) {
  return Guarded([&](simdaq::Driver &d) {
    return d.CreateAIVoltageChan(taskHandle, physicalChannel, nameToAssignToChannel, terminalConfig,
                                 minVal, maxVal, units, customScaleName);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxCfgSampClkTiming(TaskHandle taskHandle, const char source[],
                                                  float64 rate, int32 activeEdge, int32 sampleMode,
                                                  uInt64 sampsPerChan) {
  return Guarded([&](simdaq::Driver &d) {
    return d.CfgSampClkTiming(taskHandle, source, rate, activeEdge, sampleMode, sampsPerChan);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxSetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle,
                                                                     bool32 data) {
  return Guarded(
      [&](simdaq::Driver &d) { return d.SetRealTimeConvLateErrorsToWarnings(taskHandle, data); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxStartTask(TaskHandle taskHandle) {
  return Guarded([&](simdaq::Driver &d) { return d.StartTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxWriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan,
                                                bool32 autoStart, float64 timeout,
                                                bool32 dataLayout, const float64 writeArray[],
                                                int32 *sampsPerChanWritten, bool32 *reserved) {
  return Guarded([&](simdaq::Driver &d) {
    return d.WriteAnalogF64(taskHandle, numSampsPerChan, autoStart, timeout, dataLayout, writeArray,
                            sampsPerChanWritten, reserved);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan,
                                               float64 timeout, bool32 fillMode,
                                               float64 readArray[], uInt32 arraySizeInSamps,
                                               int32 *sampsPerChanRead, bool32 *reserved) {
  return Guarded([&](simdaq::Driver &d) {
    return d.ReadAnalogF64(taskHandle, numSampsPerChan, timeout, fillMode, readArray,
                           arraySizeInSamps, sampsPerChanRead, reserved);
  });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxStopTask(TaskHandle taskHandle) {
  return Guarded([&](simdaq::Driver &d) { return d.StopTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxClearTask(TaskHandle taskHandle) {
  return Guarded([&](simdaq::Driver &d) { return d.ClearTask(taskHandle); });
}

SIMDAQ_EXPORT int32 __CFUNC DAQmxGetExtendedErrorInfo(char errorString[], uInt32 bufferSize) {
  return Guarded(
      [&](simdaq::Driver &d) { return d.GetExtendedErrorInfo(errorString, bufferSize); });
}

}  // extern "C"
