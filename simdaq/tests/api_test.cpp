// The shared library through its exported C functions. Each test group runs
// in a process of its own with its own SIMDAQ value (see CMakeLists.txt),
// because the driver reads its settings once per process.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "NIDAQmx.h"
#include "setup_trace.h"

#if defined(SIMDAQ_HAVE_EDFLIB)
#include "bdf_check.h"
#endif
#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string g_trace_path;

struct Loopback {
  TaskHandle out = nullptr;
  TaskHandle in = nullptr;

  int32 Open() {
    int32 s;
    if ((s = DAQmxCreateTask("", &out)) < 0) return s;
    if ((s = DAQmxCreateAOVoltageChan(out, "Dev1/ao0", "", -10.0, 10.0, DAQmx_Val_Volts, "")) < 0)
      return s;
    if ((s = DAQmxCfgSampClkTiming(out, "OnboardClock", 10000.0, DAQmx_Val_Rising,
                                   DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = DAQmxCreateTask("", &in)) < 0) return s;
    if ((s = DAQmxCreateAIVoltageChan(in, "Dev1/ai0", "", DAQmx_Val_RSE, -10.0, 10.0,
                                      DAQmx_Val_Volts, nullptr)) < 0)
      return s;
    if ((s = DAQmxCfgSampClkTiming(in, "OnboardClock", 10000.0, DAQmx_Val_Falling,
                                   DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = DAQmxSetRealTimeConvLateErrorsToWarnings(out, 1)) < 0) return s;
    if ((s = DAQmxStartTask(out)) < 0) return s;
    return DAQmxStartTask(in);
  }
  int32 Step(double level, double &reading) {
    const int32 w =
        DAQmxWriteAnalogF64(out, 1, 1, 10.0, DAQmx_Val_GroupByChannel, &level, nullptr, nullptr);
    if (w < 0) return w;
    int32 read = 0;
    return DAQmxReadAnalogF64(in, 1, 10.0, DAQmx_Val_GroupByChannel, &reading, 1, &read, nullptr);
  }
  void Close() {
    if (out != nullptr) {
      DAQmxStopTask(out);
      DAQmxClearTask(out);
    }
    if (in != nullptr) {
      DAQmxStopTask(in);
      DAQmxClearTask(in);
    }
  }
};

std::string ErrorText() {
  char buffer[2048];
  DAQmxGetExtendedErrorInfo(buffer, sizeof buffer);
  return buffer;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// SIMDAQ=@virtual.settings: clock=virtual, trace=<the path given on the command line>
TEST(ApiVirtual, ProgramRunsAndIsTraced) {
  ASSERT_FALSE(g_trace_path.empty());
  std::remove(g_trace_path.c_str());
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  for (int cycle = 0; cycle < 3; ++cycle) {
    for (int k = 0; k < 10000; ++k) {
      const double level = k < 30 ? 5.0 : 0.0;
      double reading = -1;
      ASSERT_EQ(loop.Step(level, reading), 0);
      ASSERT_EQ(reading, level);
    }
  }
  EXPECT_EQ(ErrorText(), "");
  loop.Close();
  const std::string trace = ReadFile(g_trace_path);
  EXPECT_EQ(trace.substr(0, trace.find("DAQmxWriteAnalogF64")), maroquint::harness::SetupTrace());
  const std::string tail =
      "DAQmxWriteAnalogF64(task1, 1, 1, 10, 0, [0], NULL, NULL) = 0\n"
      "DAQmxReadAnalogF64(task2, 1, 10, 0, [0], 1, &1, NULL) = 0\n"
      "DAQmxGetExtendedErrorInfo(buf, 2048) = 0\n"
      "DAQmxStopTask(task1) = 0\n"
      "DAQmxClearTask(task1) = 0\n"
      "DAQmxStopTask(task2) = 0\n"
      "DAQmxClearTask(task2) = 0\n";
  ASSERT_GE(trace.size(), tail.size());
  EXPECT_EQ(trace.substr(trace.size() - tail.size()), tail);
  std::size_t lines = 0;
  for (char c : trace) lines += c == '\n';
  EXPECT_EQ(lines, maroquint::harness::SetupCalls().size() + 2u * 30000u + 1u + 4u);
}

// SIMDAQ unset or empty: realtime, connected.
TEST(ApiRealtime, ReadsFollowWritesAtTheSampleClock) {
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  for (int k = 0; k < 2000; ++k) {
    const double level = (k / 10) % 2 == 0 ? 5.0 : 0.0;
    double reading = -1;
    ASSERT_EQ(loop.Step(level, reading), 0) << ErrorText();
    ASSERT_EQ(reading, level) << k;
  }
  loop.Close();
}

// SIMDAQ=noise=loud
TEST(ApiBadSettings, EveryCallFailsAndTheTextNamesTheSetting) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_EQ(loop.out, nullptr);
  EXPECT_EQ(DAQmxStartTask(nullptr), -200077);
  const std::string text = ErrorText();
  EXPECT_NE(text.find("Invalid setting 'noise=loud'"), std::string::npos) << text;
  EXPECT_NE(text.find("Status Code: -200077"), std::string::npos) << text;
}

// SIMDAQ=@missing.settings
TEST(ApiMissingFile, EveryCallFails) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_NE(ErrorText().find("cannot be read"), std::string::npos) << ErrorText();
}

// SIMDAQ=trace=<a directory that does not exist>/calls.txt
TEST(ApiBadTrace, EveryCallFails) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_NE(ErrorText().find("cannot be opened for appending"), std::string::npos) << ErrorText();
}

// SIMDAQ=@rehearsal.settings from the source tree: a scripted wire and a fault.
TEST(ApiSettingsFile, ScriptAndFaultFromTheFile) {
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  double reading = 0;
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 0.0);
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 2.5);
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_TRUE(std::isnan(reading));
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 5.0);
  EXPECT_EQ(loop.Step(0.0, reading), -200284);
  EXPECT_EQ(
      ErrorText(),
      "Some or all of the samples requested have not yet been acquired.\nStatus Code: -200284");
  loop.Close();
}

#if !defined(_WIN32)
// Runs f with standard output and error going to files; returns what each got.
template <typename F>
std::pair<std::string, std::string> Captured(F f) {
  // Named by process: ctest runs the test programs side by side.
  const std::string prefix = testing::TempDir() + "simdaq_api_" + std::to_string(getpid());
  const std::string out_path = prefix + "_stdout.txt";
  const std::string err_path = prefix + "_stderr.txt";
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(1);
  const int saved_err = dup(2);
  if (std::freopen(out_path.c_str(), "w", stdout) == nullptr ||
      std::freopen(err_path.c_str(), "w", stderr) == nullptr)
    ADD_FAILURE() << "cannot redirect the standard streams";
  f();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  std::pair<std::string, std::string> got{ReadFile(out_path), ReadFile(err_path)};
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return got;
}

// A process of its own that opens the loopback, says whether it could
// ('y' or 'n' on the pipe), and then holds it until it is killed.
pid_t StartHolder(int &answer) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Loopback loop;
    const char opened = loop.Open() == 0 ? 'y' : 'n';
    if (write(fds[1], &opened, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(fds[1]);
  answer = fds[0];
  return pid;
}

// A process of its own that opens the loopback, closes it and exits with 0
// if it could.
int OpenInAnotherProcess() {
  const pid_t pid = fork();
  if (pid == 0) {
    Loopback loop;
    const int32 status = loop.Open();
    loop.Close();
    _exit(status == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// SIMDAQ=clock=virtual. The holder is started
// before this process makes its first call, so that it shares nothing with it.
TEST(ApiReservation, AnotherProcessHoldsTheDeviceUntilItEnds) {
  int answer = -1;
  const pid_t holder = StartHolder(answer);
  ASSERT_GT(holder, 0);
  char opened = 0;
  ASSERT_EQ(read(answer, &opened, 1), 1);
  close(answer);
  EXPECT_EQ(opened, 'y');

  Loopback loop;
  int32 status = 0;
  const auto [out, err] = Captured([&] { status = loop.Open(); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "Simulated NI-DAQmx driver: no hardware is driven; Dev1 is a virtual device (see "
            "SIMDAQ).\n");
  EXPECT_EQ(status, -50103);
  EXPECT_EQ(ErrorText(),
            "The specified resource is reserved. The operation could not be completed as "
            "specified.\n\nTask Name: _unnamedTask<0>\n\nStatus Code: -50103");

  // A holder that dies without clearing its tasks lets go all the same.
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(DAQmxStartTask(loop.out), 0) << ErrorText();
  EXPECT_EQ(DAQmxStartTask(loop.in), 0) << ErrorText();
  EXPECT_EQ(OpenInAnotherProcess(), 1) << "held by this process now";

  // Clearing the tasks lets go too.
  loop.Close();
  EXPECT_EQ(OpenInAnotherProcess(), 0);
}

#if defined(SIMDAQ_HAVE_EDFLIB)
// SIMDAQ=@amplifier.settings: realtime, the amplifier writing
// api_amplifier.bdf and its truth in the build directory. A process of its
// own pulses ten times a second until Ctrl+C; the file holds every whole
// second until then.
TEST(ApiAmplifier, CtrlCFinishesTheRecording) {
  const std::string bdf = g_trace_path + ".bdf";
  const std::string truth_path = g_trace_path + ".truth";
  std::remove(bdf.c_str());
  std::remove(truth_path.c_str());
  const pid_t pulser = fork();
  if (pulser == 0) {
    Loopback loop;
    if (loop.Open() != 0) _exit(1);
    for (long k = 0;; ++k) {
      double reading = 0;
      if (loop.Step(k % 1000 >= 1 && k % 1000 <= 30 ? 5.0 : 0.0, reading) < 0) _exit(1);
    }
  }
  ASSERT_GT(pulser, 0);
  // Some 2.5 s of pulses, waited for by their edges in the truth file.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (maroquint::simdaq::test::ReadTruth(truth_path).edges.size() < 25 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(pulser, SIGINT);
  int status = 0;
  waitpid(pulser, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "ended by Ctrl+C: " << status;

  const maroquint::simdaq::test::Truth truth = maroquint::simdaq::test::ReadTruth(truth_path);
  EXPECT_EQ(truth.rate, 2048);
  ASSERT_GE(truth.edges.size(), 25u);
  const maroquint::simdaq::test::BdfStatus recorded = maroquint::simdaq::test::ReadBdfStatus(bdf);
  EXPECT_GE(recorded.records, 2);
  const std::vector<long long> expected = maroquint::simdaq::test::ExpectedOnsets(
      truth, static_cast<long long>(recorded.records) * 2048);
  EXPECT_GE(expected.size(), 20u);
  EXPECT_EQ(recorded.onsets, expected);
}
#endif
#endif

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_trace_path = argv[1];
  return RUN_ALL_TESTS();
}
