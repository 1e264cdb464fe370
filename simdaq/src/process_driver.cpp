#include "process_driver.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform.h"

#if defined(SIMDAQ_HAVE_EDFLIB)
#include "amplifier_file.h"
#endif
#if !defined(_WIN32)
#include <csignal>
#endif

namespace maroquint::simdaq {

namespace {

using maroquint::base::Fail;

struct Process {
  std::mutex mutex;
  SteadyClock clock;
  FileTraceSink trace;
  DeviceReservation reservation;
  std::unique_ptr<AmplifierSink> amplifier;
  std::unique_ptr<FileGate> gate;
  std::unique_ptr<Driver> driver;
};

// Constant-initialized, so it exists before any caller's static
// initializers run, and its destructor closes the trace file at exit.
Process g_process;

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
#endif

// The amplifier's file, or null with parsed turned into a settings error.
std::unique_ptr<AmplifierSink> OpenAmplifier(SettingsResult &parsed) {
  const Settings &s = *parsed;
  std::string problem;
#if defined(SIMDAQ_HAVE_EDFLIB)
  auto file = std::make_unique<AmplifierFile>(s.amplifier, static_cast<int>(s.amplifier_rate),
                                              s.amplifier_drift, s.amplifier_truth);
  if (file->Open(problem)) return file;
#else
  problem = "this build of the simulated driver has no amplifier (EDFlib was not found)";
#endif
  parsed = Fail(SettingsError::kCannotOpen,
                "Invalid setting 'amplifier=" + s.amplifier + "': " + problem + ".");
  return nullptr;
}

}  // namespace

std::mutex &ProcessLock() {
  return g_process.mutex;
}

Driver &ProcessDriver() {
  Process &p = g_process;
  if (!p.driver) {
    // Standard output belongs to the program; this goes where its user still sees it.
    std::fputs(
        "Simulated NI-DAQmx driver: no hardware is driven; Dev1 is a virtual device (see "
        "SIMDAQ).\n",
        stderr);
    SettingsResult parsed = ParseEnvironmentValue(std::getenv("SIMDAQ"), &ReadWholeFile);
    if (parsed && !parsed->trace.empty() && !p.trace.Open(parsed->trace))
      parsed = Fail(SettingsError::kCannotOpen, "Invalid setting 'trace=" + parsed->trace +
                                                    "': the file cannot be opened for appending.");
    if (parsed && !parsed->amplifier.empty()) p.amplifier = OpenAmplifier(parsed);
    if (parsed && !parsed->gate.empty()) p.gate = std::make_unique<FileGate>(parsed->gate);
    TraceSink *trace = parsed && !parsed->trace.empty() ? &p.trace : nullptr;
    p.driver = std::make_unique<Driver>(parsed, &p.clock, trace, &p.reservation, p.amplifier.get(),
                                        p.gate.get());
  }
  return *p.driver;
}

void FollowRecording(Driver &driver) {
#if defined(_WIN32)
  static_cast<void>(driver);
#else
  if (g_stop_signal != 0) {
    const int signal_number = g_stop_signal;
    g_stop_signal = 0;
    driver.FinishRecording();
    CatchStopSignals(false);
    std::raise(signal_number);
    return;
  }
  CatchStopSignals(driver.Recording());
#endif
}

}  // namespace maroquint::simdaq
