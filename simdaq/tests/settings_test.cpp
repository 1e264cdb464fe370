#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "settings.h"

using simdaq::ClockMode;
using simdaq::Function;
using simdaq::ParseSettings;
using simdaq::WireMode;

namespace {

TEST(Settings, EmptyMeansDefaults) {
  const auto r = ParseSettings("", false);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.settings.clock, ClockMode::Realtime);
  EXPECT_FALSE(r.settings.strict);
  EXPECT_EQ(r.settings.wire, WireMode::Connected);
  EXPECT_EQ(r.settings.delay, 0u);
  EXPECT_EQ(r.settings.noise, 0.0);
  EXPECT_TRUE(r.settings.faults.empty());
  EXPECT_TRUE(r.settings.trace.empty());
}

TEST(Settings, ReadsEveryKey) {
  const auto r = ParseSettings(
      "clock=virtual; strict=1\n "
      "wire=stuck:-2.5;delay=3;lowpass=0.001;noise=0.01;seed=42;cut=10-20;cut=30-31;"
      "trace=/tmp/x y.txt;hold=2.5;gate=/tmp/open sesame",
      false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.settings.clock, ClockMode::Virtual);
  EXPECT_TRUE(r.settings.strict);
  EXPECT_EQ(r.settings.wire, WireMode::Stuck);
  EXPECT_EQ(r.settings.stuck_volts, -2.5);
  EXPECT_EQ(r.settings.delay, 3u);
  EXPECT_EQ(r.settings.lowpass, 0.001);
  EXPECT_EQ(r.settings.noise, 0.01);
  EXPECT_EQ(r.settings.seed, 42u);
  ASSERT_EQ(r.settings.cuts.size(), 2u);
  EXPECT_EQ(r.settings.cuts[1].from, 30u);
  EXPECT_EQ(r.settings.cuts[1].to, 31u);
  EXPECT_EQ(r.settings.trace, "/tmp/x y.txt");
  EXPECT_EQ(r.settings.hold, 2.5);
  EXPECT_EQ(r.settings.gate, "/tmp/open sesame");
}

TEST(Settings, AmplifierKeys) {
  const auto r = ParseSettings(
      "amplifier=eeg.bdf;amplifier_rate=16384;amplifier_drift=-50;amplifier_truth=eeg.truth",
      false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.settings.amplifier, "eeg.bdf");
  EXPECT_EQ(r.settings.amplifier_rate, 16384);
  EXPECT_EQ(r.settings.amplifier_drift, -50);
  EXPECT_EQ(r.settings.amplifier_truth, "eeg.truth");
  EXPECT_EQ(ParseSettings("amplifier=eeg.bdf", false).settings.amplifier_rate, 2048);
}

TEST(Settings, AmplifierWindow) {
  const auto r = ParseSettings("amplifier=eeg.bdf;amplifier_start=12.5;amplifier_stop=40", false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.settings.amplifier_start, 12.5);
  EXPECT_EQ(r.settings.amplifier_stop, 40);
  const auto whole = ParseSettings("amplifier=eeg.bdf", false);
  EXPECT_EQ(whole.settings.amplifier_start, 0);
  EXPECT_TRUE(std::isinf(whole.settings.amplifier_stop)) << "until the run ends";
  EXPECT_TRUE(ParseSettings("amplifier=eeg.bdf;amplifier_stop=0.5", false).ok);
  EXPECT_TRUE(ParseSettings("amplifier=eeg.bdf;amplifier_start=3600", false).ok);
}

TEST(Settings, ScriptTakesNumbersAndNan) {
  const auto r = ParseSettings("wire=script:0, 2.5,2.4999,nan,-1e-3", false);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.settings.script.size(), 5u);
  EXPECT_EQ(r.settings.script[1], 2.5);
  EXPECT_EQ(r.settings.script[2], 2.4999);
  EXPECT_TRUE(std::isnan(r.settings.script[3]));
  EXPECT_EQ(r.settings.script[4], -0.001);
}

TEST(Settings, FaultsByCallAndBySample) {
  const auto r = ParseSettings(
      "fault=DAQmxReadAnalogF64#3:-200284;fault=DAQmxWriteAnalogF64@10000:209801:late: "
      "really\\nlate",
      false);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.settings.faults.size(), 2u);
  const auto &a = r.settings.faults[0];
  EXPECT_EQ(a.function, Function::ReadAnalogF64);
  EXPECT_FALSE(a.by_sample);
  EXPECT_EQ(a.call_number, 3u);
  EXPECT_EQ(a.status, -200284);
  EXPECT_FALSE(a.has_text);
  const auto &b = r.settings.faults[1];
  EXPECT_EQ(b.function, Function::WriteAnalogF64);
  EXPECT_TRUE(b.by_sample);
  EXPECT_EQ(b.sample, 10000u);
  EXPECT_EQ(b.status, 209801);
  EXPECT_EQ(b.text, "late: really\nlate");
}

TEST(Settings, FileCommentsAndLineNumbers) {
  const auto ok = ParseSettings(
      "# a lab rehearsal\nclock=virtual\n  # fault=nothing\nfault=DAQmxStartTask#1:-50103\n", true);
  ASSERT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(ok.settings.faults.size(), 1u);
  const auto bad = ParseSettings("clock=virtual\n\nnoise=loud\n", true);
  ASSERT_FALSE(bad.ok);
  EXPECT_NE(bad.error.find("'noise=loud' on line 3"), std::string::npos) << bad.error;
}

TEST(Settings, MalformedSettingsAreNamed) {
  const std::map<std::string, std::string> cases = {
      {"colour=red", "unknown key 'colour'"},
      {"clock=fast", "clock must be"},
      {"strict=yes", "strict must be"},
      {"wire=loose", "wire must be"},
      {"wire=stuck:", "stuck needs a voltage"},
      {"wire=script:1,,2", "script value '' is not a number"},
      {"delay=-1", "delay must be"},
      {"delay=2.5", "delay must be"},
      {"delay=99999999999", "delay must be"},
      {"lowpass=-1", "lowpass must be"},
      {"noise=nan", "noise must be"},
      {"seed=x", "seed must be"},
      {"cut=20-10", "cut must be"},
      {"cut=5", "cut must be"},
      {"fault=DAQmxFly#1:-1", "unknown function 'DAQmxFly'"},
      {"fault=DAQmxStartTask#0:-1", "call numbers start at 1"},
      {"fault=DAQmxStartTask#1:0", "nonzero"},
      {"fault=DAQmxStartTask#1:-99999999999", "nonzero"},
      {"fault=DAQmxStartTask:-1", "fault must be"},
      {"trace=", "trace needs a file path"},
      {"hold=-1", "hold must be"},
      {"hold=3601", "hold must be"},
      {"gate=", "gate needs a file path"},
      {"amplifier=", "amplifier needs a file path"},
      {"amplifier=a.bdf;amplifier_rate=10", "amplifier_rate must be"},
      {"amplifier=a.bdf;amplifier_truth=", "amplifier_truth needs a file path"},
      {"amplifier_drift=5", "amplifier_drift needs amplifier=<file.bdf>"},
      {"amplifier_start=5", "amplifier_start needs amplifier=<file.bdf>"},
      {"amplifier=a.bdf;amplifier_start=-1", "amplifier_start must be"},
      {"amplifier=a.bdf;amplifier_start=soon", "amplifier_start must be"},
      {"amplifier=a.bdf;amplifier_stop=inf", "amplifier_stop must be"},
      {"amplifier=a.bdf;amplifier_stop=1e8", "amplifier_stop must be"},
      {"amplifier=a.bdf;amplifier_stop=0", "later than amplifier_start"},
      {"amplifier=a.bdf;amplifier_start=20;amplifier_stop=10", "later than amplifier_start"},
      {"amplifier=a.bdf;amplifier_stop=10;amplifier_start=10", "later than amplifier_start"},
      {"clock=virtual;amplifier=a.bdf", "which clock=virtual does not have"},
      {"clock=virtual;clock=realtime", "given twice"},
      {"justaword", "expected key=value"},
  };
  for (const auto &c : cases) {
    const auto r = ParseSettings(c.first, false);
    EXPECT_FALSE(r.ok) << c.first;
    EXPECT_NE(r.error.find("Invalid setting '" + c.first.substr(c.first.rfind(';') + 1) + "'"),
              std::string::npos)
        << r.error;
    EXPECT_NE(r.error.find(c.second), std::string::npos) << c.first << ": " << r.error;
  }
}

bool FakeFile(const std::string &path, std::string &contents) {
  if (path != "lab.cfg") return false;
  contents = "clock=virtual\nwire=disconnected\n";
  return true;
}

TEST(Settings, EnvironmentValueInlineOrFile) {
  EXPECT_TRUE(simdaq::ParseEnvironmentValue(nullptr, FakeFile).ok);
  EXPECT_TRUE(simdaq::ParseEnvironmentValue("", FakeFile).ok);
  const auto inline_value = simdaq::ParseEnvironmentValue("wire=disconnected", FakeFile);
  ASSERT_TRUE(inline_value.ok);
  EXPECT_EQ(inline_value.settings.wire, WireMode::Disconnected);
  const auto file = simdaq::ParseEnvironmentValue("@lab.cfg", FakeFile);
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(file.settings.clock, ClockMode::Virtual);
  const auto missing = simdaq::ParseEnvironmentValue("@nowhere.cfg", FakeFile);
  ASSERT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("'nowhere.cfg' cannot be read"), std::string::npos) << missing.error;
}

}  // namespace
