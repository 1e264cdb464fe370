// The built program against the simulated driver in virtual time: console
// output, exit status and every driver call, for failures in set-up and in
// the middle of a cycle.

#include <gtest/gtest.h>

#include "program.h"
#include "setup_trace.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace maroquint::pulse {

namespace {

using namespace maroquint::harness;

// How to make each set-up call fail: the function and which of its calls.
const std::vector<std::string> kSetupFaults{"DAQmxCreateTask#1",
                                            "DAQmxCreateAOVoltageChan#1",
                                            "DAQmxCfgSampClkTiming#1",
                                            "DAQmxCreateTask#2",
                                            "DAQmxCreateAIVoltageChan#1",
                                            "DAQmxCfgSampClkTiming#2",
                                            "DAQmxSetRealTimeConvLateErrorsToWarnings#1",
                                            "DAQmxStartTask#1",
                                            "DAQmxStartTask#2"};

const std::string kErrorStatus = "-200088";

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// The end of every run: the error text while the tasks exist, then stop and
// clear, output task before input task, of the tasks that were created.
std::string EndOfRun(bool output_created, bool input_created) {
  std::string lines = TraceLine("DAQmxGetExtendedErrorInfo(buf, 2048)", "0");
  if (output_created)
    lines += TraceLine("DAQmxStopTask(task1)", "0") + TraceLine("DAQmxClearTask(task1)", "0");
  if (input_created)
    lines += TraceLine("DAQmxStopTask(task2)", "0") + TraceLine("DAQmxClearTask(task2)", "0");
  return lines;
}

std::string WriteCall(const char *level) {
  return std::string("DAQmxWriteAnalogF64(task1, 1, 1, 10, 0, [") + level + "], NULL, NULL)";
}

std::string ReadCall(const char *reading, int samples_read) {
  return std::string("DAQmxReadAnalogF64(task2, 1, 10, 0, [") + reading + "], 1, &" +
         std::to_string(samples_read) + ", NULL)";
}

// The trace of `steps` complete sample steps on a connected wire, from the
// start of the run.
std::string StepsTrace(long steps) {
  std::string lines;
  for (long step = 1; step <= steps; ++step) {
    const char *level = (step - 1) % 10000 < 30 ? "5" : "0";
    lines += TraceLine(WriteCall(level), "0") + TraceLine(ReadCall(level, 1), "0");
  }
  return lines;
}

std::string Report(const std::string &text) {
  return std::string(kStartLine) + "DAQmx Error: " + text + "\n" + kEndLine;
}

// Traces run to tens of thousands of lines: a failure names the first line
// that differs instead of printing both whole.
::testing::AssertionResult SameTrace(const std::string &actual, const std::string &expected) {
  std::size_t line = 1;
  std::size_t at = 0;
  while (at < actual.size() || at < expected.size()) {
    const std::size_t actual_end = std::min(actual.find('\n', at), actual.size());
    const std::size_t expected_end = std::min(expected.find('\n', at), expected.size());
    const std::string got = actual.substr(at, actual_end - at);
    const std::string want = expected.substr(at, expected_end - at);
    if (got != want || actual_end != expected_end)
      return ::testing::AssertionFailure()
             << "trace line " << line << " is\n  " << got << "\ninstead of\n  " << want;
    at = actual_end + 1;
    ++line;
  }
  return ::testing::AssertionSuccess();
}

struct Outcome {
  std::string output;
  std::optional<int> status;
  std::string trace;
};

// Runs to the end line, then ends standard input.
Outcome RunToEnd(const std::string &name, const std::string &settings,
                 const std::vector<std::string> &arguments = {}) {
  const std::string trace = ::testing::TempDir() + "maroquint_" + name + ".trace";
  std::remove(trace.c_str());
  auto program = StartProgram(
      "clock=virtual;strict=1;wire=connected;" + settings + ";trace=" + trace, arguments);
  EXPECT_TRUE(program->Started());
  EXPECT_TRUE(program->ReadUntil(kEndLine)) << program->Output();
  program->CloseInput();
  const std::optional<int> status = program->Wait();
  return {program->Output(), status, ReadFile(trace)};
}

class SetupFailureTest : public ::testing::TestWithParam<int> {};

TEST_P(SetupFailureTest, ReportsReleasesWhatWasCreatedAndExitsWithOne) {
  const int failing = GetParam();  // 0-based index into the set-up calls
  const std::string text = "Failure injected at set-up call " + std::to_string(failing + 1) + ".";
  const Outcome run = RunToEnd("setup" + std::to_string(failing + 1),
                               "fault=" + kSetupFaults[failing] + ":" + kErrorStatus + ":" + text);

  EXPECT_EQ(run.output, Report(text));
  EXPECT_EQ(run.status, 1);

  std::string expected;
  for (int i = 0; i < failing; ++i) expected += TraceLine(SetupCalls()[i], "0");
  std::string failed_call = SetupCalls()[failing];
  // A task that could not be created has no handle.
  const std::string::size_type handle = failed_call.find("&task");
  if (handle != std::string::npos) failed_call = failed_call.substr(0, handle) + "&NULL)";
  expected += TraceLine(failed_call, kErrorStatus);
  expected += EndOfRun(failing >= 1, failing >= 4);
  EXPECT_TRUE(SameTrace(run.trace, expected));
}

INSTANTIATE_TEST_SUITE_P(EachOfTheNineCalls, SetupFailureTest, ::testing::Range(0, 9));

// A write that fails in the high hold ends the run before its read; a read
// that fails in the low hold, after its write.
TEST(CycleFailureTest, AFailedStepEndsTheRunAtOnce) {
  const struct {
    std::string name, fault, text, steps;
  } cases[] = {
      {"write_highhold", "DAQmxWriteAnalogF64@10015", "Write failed in the middle of a pulse.",
       StepsTrace(10015) + TraceLine(WriteCall("5"), kErrorStatus)},
      {"read_lowhold", "DAQmxReadAnalogF64@15000", "Read failed in the middle of a cycle.",
       StepsTrace(15000) + TraceLine(WriteCall("0"), "0") +
           TraceLine(ReadCall("nan", 0), kErrorStatus)},
  };
  for (const auto &c : cases) {
    const Outcome run = RunToEnd(c.name, "fault=" + c.fault + ":" + kErrorStatus + ":" + c.text);
    EXPECT_EQ(run.output, Report(c.text));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(SameTrace(run.trace, SetupTrace() + c.steps + EndOfRun(true, true))) << c.name;
  }
}

TEST(CycleFailureTest, WarningsDoNotEndTheRun) {
  const Outcome run =
      RunToEnd("warnings",
               "fault=DAQmxWriteAnalogF64#3:200015:Late.;fault=DAQmxReadAnalogF64#5:1:Odd.;"
               "fault=DAQmxStartTask#1:200015:Late start.;fault=DAQmxWriteAnalogF64@40:" +
                   kErrorStatus + ":Stop.");
  EXPECT_EQ(run.output, Report("Stop."));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.trace.find(TraceLine(WriteCall("5"), "200015")), std::string::npos);
  EXPECT_NE(run.trace.find(TraceLine(ReadCall("5", 1), "1")), std::string::npos);
  EXPECT_NE(run.trace.find(TraceLine(WriteCall("0"), kErrorStatus)), std::string::npos);
}

TEST(ProgramConsoleTest, EmptyErrorTextLeavesNothingAfterTheColon) {
  const Outcome run = RunToEnd("empty_text", "fault=DAQmxCreateTask#1:-50103:");
  EXPECT_EQ(run.output, Report(""));
  EXPECT_EQ(run.status, 1);
}

TEST(ProgramConsoleTest, EndOfInputEndsTheWait) {
  auto program = StartProgram("clock=virtual;fault=DAQmxStartTask#1:-200088:Stop.");
  program->CloseInput();
  EXPECT_EQ(program->Wait(), kProgramErrorStatus);
  EXPECT_EQ(program->Output(), Report("Stop."));
}

// Help, the version and a refused argument are answered before the
// device is touched: the driver's trace stays empty.
TEST(ProgramConsoleTest, ArgumentsAreAnsweredWithoutTouchingTheDevice) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output;  // expected at the start of standard output
    std::string errors;  // expected at the start of standard error
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: maroquint [--help | --version]\n", ""},
      {{"-h"}, 0, "usage: maroquint [--help | --version]\n", ""},
      {{"--version"}, 0, "maroquint ", ""},
      {{"Dev2/ao1"}, 64, "", "maroquint: unknown argument 'Dev2/ao1'\nusage: maroquint"},
      {{"--help", "-v"}, 64, "", "maroquint: unknown argument '-v'\n"},
      {{""}, 64, "", "maroquint: unknown argument ''\n"},
  };
  for (const Case &c : cases) {
    const std::string trace = ::testing::TempDir() + "maroquint_arguments.trace";
    std::remove(trace.c_str());
    ChildProcess program(MAROQUINT_PROGRAM, c.arguments,
                         {"SIMDAQ=clock=virtual;wire=connected;trace=" + trace},
                         ErrorOutput::kCapture);
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.Wait(), c.status) << c.arguments.front();
    EXPECT_EQ(program.Output().rfind(c.output, 0), 0u) << program.Output();
    EXPECT_EQ(program.Errors().rfind(c.errors, 0), 0u) << program.Errors();
    EXPECT_EQ(ReadFile(trace), "") << c.arguments.front();
  }
}

// The harness says why a wait or a start failed, by code.
TEST(ProgramConsoleTest, TheHarnessTellsAnEndedOutputFromAMissingProgram) {
  ChildProcess program(MAROQUINT_PROGRAM, {"--version"});
  ASSERT_TRUE(program.Started());
  EXPECT_EQ(program.Wait(), 0);
  const ChildStatus ended = program.ReadUntil("never printed");
  ASSERT_FALSE(ended);
  EXPECT_EQ(ended.Code(), ChildError::kOutputEnded);

  ChildProcess missing(std::string(MAROQUINT_PROGRAM) + "-missing", {});
  const ChildStatus started = missing.Started();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.Code(), ChildError::kNotStarted);
  EXPECT_NE(started.Message().find("-missing"), std::string::npos) << started.Message();
  EXPECT_FALSE(missing.Wait(1.0).has_value()) << "a program never started has no exit status";
}

}  // namespace

}  // namespace maroquint::pulse
