#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "settings.h"

using maroquint::simdaq::ClockMode;
using maroquint::simdaq::Function;
using maroquint::simdaq::ParseSettings;
using maroquint::simdaq::SettingsError;
using maroquint::simdaq::WireMode;

namespace {

TEST(Settings, EmptyMeansDefaults) {
  const auto r = ParseSettings("", false);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r->clock, ClockMode::kRealtime);
  EXPECT_FALSE(r->strict);
  EXPECT_EQ(r->wire, WireMode::kConnected);
  EXPECT_EQ(r->delay, 0u);
  EXPECT_EQ(r->noise, 0.0);
  EXPECT_TRUE(r->faults.empty());
  EXPECT_TRUE(r->trace.empty());
}

TEST(Settings, ReadsEveryKey) {
  const auto r = ParseSettings(
      "clock=virtual; strict=1\n "
      "wire=stuck:-2.5;delay=3;lowpass=0.001;noise=0.01;seed=42;cut=10-20;cut=30-31;"
      "trace=/tmp/x y.txt;hold=2.5;gate=/tmp/open sesame",
      false);
  ASSERT_TRUE(r.Ok()) << r.Message();
  EXPECT_EQ(r->clock, ClockMode::kVirtual);
  EXPECT_TRUE(r->strict);
  EXPECT_EQ(r->wire, WireMode::kStuck);
  EXPECT_EQ(r->stuck_volts, -2.5);
  EXPECT_EQ(r->delay, 3u);
  EXPECT_EQ(r->lowpass, 0.001);
  EXPECT_EQ(r->noise, 0.01);
  EXPECT_EQ(r->seed, 42u);
  ASSERT_EQ(r->cuts.size(), 2u);
  EXPECT_EQ(r->cuts[1].from, 30u);
  EXPECT_EQ(r->cuts[1].to, 31u);
  EXPECT_EQ(r->trace, "/tmp/x y.txt");
  EXPECT_EQ(r->hold, 2.5);
  EXPECT_EQ(r->gate, "/tmp/open sesame");
}

TEST(Settings, AmplifierKeys) {
  const auto r = ParseSettings(
      "amplifier=eeg.bdf;amplifier_rate=16384;amplifier_drift=-50;amplifier_truth=eeg.truth",
      false);
  ASSERT_TRUE(r.Ok()) << r.Message();
  EXPECT_EQ(r->amplifier, "eeg.bdf");
  EXPECT_EQ(r->amplifier_rate, 16384);
  EXPECT_EQ(r->amplifier_drift, -50);
  EXPECT_EQ(r->amplifier_truth, "eeg.truth");
  EXPECT_EQ(ParseSettings("amplifier=eeg.bdf", false)->amplifier_rate, 2048);
}

TEST(Settings, AmplifierWindow) {
  const auto r = ParseSettings("amplifier=eeg.bdf;amplifier_start=12.5;amplifier_stop=40", false);
  ASSERT_TRUE(r.Ok()) << r.Message();
  EXPECT_EQ(r->amplifier_start, 12.5);
  EXPECT_EQ(r->amplifier_stop, 40);
  const auto whole = ParseSettings("amplifier=eeg.bdf", false);
  EXPECT_EQ(whole->amplifier_start, 0);
  EXPECT_TRUE(std::isinf(whole->amplifier_stop)) << "until the run ends";
  EXPECT_TRUE(ParseSettings("amplifier=eeg.bdf;amplifier_stop=0.5", false).Ok());
  EXPECT_TRUE(ParseSettings("amplifier=eeg.bdf;amplifier_start=3600", false).Ok());
}

TEST(Settings, ScriptTakesNumbersAndNan) {
  const auto r = ParseSettings("wire=script:0, 2.5,2.4999,nan,-1e-3", false);
  ASSERT_TRUE(r.Ok()) << r.Message();
  ASSERT_EQ(r->script.size(), 5u);
  EXPECT_EQ(r->script[1], 2.5);
  EXPECT_EQ(r->script[2], 2.4999);
  EXPECT_TRUE(std::isnan(r->script[3]));
  EXPECT_EQ(r->script[4], -0.001);
}

TEST(Settings, FaultsByCallAndBySample) {
  const auto r = ParseSettings(
      "fault=DAQmxReadAnalogF64#3:-200284;fault=DAQmxWriteAnalogF64@10000:209801:late: "
      "really\\nlate",
      false);
  ASSERT_TRUE(r.Ok()) << r.Message();
  ASSERT_EQ(r->faults.size(), 2u);
  const auto &a = r->faults[0];
  EXPECT_EQ(a.function, Function::kReadAnalogF64);
  EXPECT_FALSE(a.by_sample);
  EXPECT_EQ(a.call_number, 3u);
  EXPECT_EQ(a.status, -200284);
  EXPECT_FALSE(a.has_text);
  const auto &b = r->faults[1];
  EXPECT_EQ(b.function, Function::kWriteAnalogF64);
  EXPECT_TRUE(b.by_sample);
  EXPECT_EQ(b.sample, 10000u);
  EXPECT_EQ(b.status, 209801);
  EXPECT_EQ(b.text, "late: really\nlate");
}

TEST(Settings, FileCommentsAndLineNumbers) {
  const auto ok = ParseSettings(
      "# a lab rehearsal\nclock=virtual\n  # fault=nothing\nfault=DAQmxStartTask#1:-50103\n", true);
  ASSERT_TRUE(ok.Ok()) << ok.Message();
  EXPECT_EQ(ok->faults.size(), 1u);
  const auto bad = ParseSettings("clock=virtual\n\nnoise=loud\n", true);
  ASSERT_FALSE(bad.Ok());
  EXPECT_EQ(bad.Code(), SettingsError::kBadValue);
  EXPECT_NE(bad.Message().find("'noise=loud' on line 3"), std::string::npos) << bad.Message();
}

TEST(Settings, MalformedSettingsAreNamed) {
  const std::map<std::string, std::pair<std::string, SettingsError>> cases = {
      {"colour=red", {"unknown key 'colour'", SettingsError::kUnknownKey}},
      {"clock=fast", {"clock must be", SettingsError::kBadValue}},
      {"strict=yes", {"strict must be", SettingsError::kBadValue}},
      {"wire=loose", {"wire must be", SettingsError::kBadValue}},
      {"wire=stuck:", {"stuck needs a voltage", SettingsError::kBadValue}},
      {"wire=script:1,,2", {"script value '' is not a number", SettingsError::kBadValue}},
      {"delay=-1", {"delay must be", SettingsError::kBadValue}},
      {"delay=2.5", {"delay must be", SettingsError::kBadValue}},
      {"delay=99999999999", {"delay must be", SettingsError::kBadValue}},
      {"lowpass=-1", {"lowpass must be", SettingsError::kBadValue}},
      {"noise=nan", {"noise must be", SettingsError::kBadValue}},
      {"seed=x", {"seed must be", SettingsError::kBadValue}},
      {"cut=20-10", {"cut must be", SettingsError::kBadValue}},
      {"cut=5", {"cut must be", SettingsError::kBadValue}},
      {"fault=DAQmxFly#1:-1", {"unknown function 'DAQmxFly'", SettingsError::kUnknownFunction}},
      {"fault=DAQmxStartTask#0:-1", {"call numbers start at 1", SettingsError::kBadValue}},
      {"fault=DAQmxStartTask#1:0", {"nonzero", SettingsError::kBadValue}},
      {"fault=DAQmxStartTask#1:-99999999999", {"nonzero", SettingsError::kBadValue}},
      {"fault=DAQmxStartTask:-1", {"fault must be", SettingsError::kBadValue}},
      {"trace=", {"trace needs a file path", SettingsError::kBadValue}},
      {"hold=-1", {"hold must be", SettingsError::kBadValue}},
      {"hold=3601", {"hold must be", SettingsError::kBadValue}},
      {"gate=", {"gate needs a file path", SettingsError::kBadValue}},
      {"amplifier=", {"amplifier needs a file path", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_rate=10", {"amplifier_rate must be", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_truth=",
       {"amplifier_truth needs a file path", SettingsError::kBadValue}},
      {"amplifier_drift=5",
       {"amplifier_drift needs amplifier=<file.bdf>", SettingsError::kNeedsAmplifier}},
      {"amplifier_start=5",
       {"amplifier_start needs amplifier=<file.bdf>", SettingsError::kNeedsAmplifier}},
      {"amplifier=a.bdf;amplifier_start=-1", {"amplifier_start must be", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_start=soon",
       {"amplifier_start must be", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_stop=inf", {"amplifier_stop must be", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_stop=1e8", {"amplifier_stop must be", SettingsError::kBadValue}},
      {"amplifier=a.bdf;amplifier_stop=0",
       {"later than amplifier_start", SettingsError::kEmptyWindow}},
      {"amplifier=a.bdf;amplifier_start=20;amplifier_stop=10",
       {"later than amplifier_start", SettingsError::kEmptyWindow}},
      {"amplifier=a.bdf;amplifier_stop=10;amplifier_start=10",
       {"later than amplifier_start", SettingsError::kEmptyWindow}},
      {"clock=virtual;amplifier=a.bdf",
       {"which clock=virtual does not have", SettingsError::kNeedsRealTime}},
      {"clock=virtual;clock=realtime", {"given twice", SettingsError::kGivenTwice}},
      {"justaword", {"expected key=value", SettingsError::kNotKeyValue}},
  };
  for (const auto &c : cases) {
    const auto r = ParseSettings(c.first, false);
    ASSERT_FALSE(r.Ok()) << c.first;
    EXPECT_EQ(r.Code(), c.second.second) << c.first;
    EXPECT_NE(r.Message().find("Invalid setting '" + c.first.substr(c.first.rfind(';') + 1) + "'"),
              std::string::npos)
        << r.Message();
    EXPECT_NE(r.Message().find(c.second.first), std::string::npos)
        << c.first << ": " << r.Message();
  }
}

bool FakeFile(const std::string &path, std::string &contents) {
  if (path != "lab.cfg") return false;
  contents = "clock=virtual\nwire=disconnected\n";
  return true;
}

TEST(Settings, EnvironmentValueInlineOrFile) {
  EXPECT_TRUE(maroquint::simdaq::ParseEnvironmentValue(nullptr, FakeFile).Ok());
  EXPECT_TRUE(maroquint::simdaq::ParseEnvironmentValue("", FakeFile).Ok());
  const auto inline_value = maroquint::simdaq::ParseEnvironmentValue("wire=disconnected", FakeFile);
  ASSERT_TRUE(inline_value.Ok());
  EXPECT_EQ(inline_value->wire, WireMode::kDisconnected);
  const auto file = maroquint::simdaq::ParseEnvironmentValue("@lab.cfg", FakeFile);
  ASSERT_TRUE(file.Ok()) << file.Message();
  EXPECT_EQ(file->clock, ClockMode::kVirtual);
  const auto missing = maroquint::simdaq::ParseEnvironmentValue("@nowhere.cfg", FakeFile);
  ASSERT_FALSE(missing.Ok());
  EXPECT_EQ(missing.Code(), SettingsError::kUnreadableFile);
  EXPECT_NE(missing.Message().find("'nowhere.cfg' cannot be read"), std::string::npos)
      << missing.Message();
}

}  // namespace
