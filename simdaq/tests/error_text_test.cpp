// The extended error text: the driver's manner, cut to the caller's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;

TEST(ErrorText, EmptyBeforeAnyError) {
  Harness h("clock=virtual");
  char buffer[8] = "junk";
  EXPECT_EQ(h.driver.GetExtendedErrorInfo(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(h.driver.GetExtendedErrorInfo(nullptr, 0), 1);
}

TEST(ErrorText, DriverManner) {
  Harness h("clock=virtual");
  TaskHandle t = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &t), 0);
  ASSERT_EQ(h.driver.CreateAOVoltageChan(t, "Dev3/ao0", "", -10, 10, DAQmx_Val_Volts, ""), -200220);
  EXPECT_EQ(h.ErrorText(),
            "Device identifier is invalid.\n"
            "Device Specified: Dev3\n"
            "Suggested Device(s): Dev1\n"
            "\n"
            "Task Name: _unnamedTask<0>\n"
            "\n"
            "Status Code: -200220");
}

TEST(ErrorText, CutToTheBufferAndZeroTerminated) {
  Harness h("clock=virtual");
  EXPECT_EQ(h.driver.StartTask(nullptr), -200088);
  const std::string full = h.ErrorText();
  const int32 needed = h.driver.GetExtendedErrorInfo(nullptr, 0);
  EXPECT_EQ(needed, static_cast<int32>(full.size() + 1));
  for (uInt32 size :
       {1u, 2u, 10u, static_cast<uInt32>(full.size()), static_cast<uInt32>(full.size() + 1)}) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(h.driver.GetExtendedErrorInfo(buffer, size), 0);
    EXPECT_EQ(std::string(buffer), full.substr(0, size - 1)) << size;
    EXPECT_EQ(buffer[size], 'x') << "nothing written past the size";
  }
  EXPECT_EQ(h.driver.GetExtendedErrorInfo(nullptr, 5), -200604);
  EXPECT_EQ(h.ErrorText(), full) << "asking does not change the text";
}

TEST(ErrorText, KeepsTheMostRecentError) {
  Harness h("clock=virtual");
  EXPECT_EQ(h.driver.StartTask(nullptr), -200088);
  TaskHandle t = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &t), 0);
  EXPECT_NE(h.ErrorText().find("-200088"), std::string::npos) << "a success does not clear it";
  EXPECT_EQ(h.driver.StartTask(t), -200478);
  EXPECT_NE(h.ErrorText().find("Status Code: -200478"), std::string::npos);
}

TEST(ErrorText, MalformedSettingsFailEveryCallAndSayWhy) {
  Harness h("clock=virtual;colour=red");
  TaskHandle t = nullptr;
  EXPECT_EQ(h.driver.CreateTask("", &t), -200077);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(h.driver.StartTask(t), -200077);
  const std::string text = h.ErrorText();
  EXPECT_NE(text.find("Invalid setting 'colour=red': unknown key 'colour'."), std::string::npos)
      << text;
  EXPECT_NE(text.find("SIMDAQ"), std::string::npos);
  EXPECT_NE(text.find("Status Code: -200077"), std::string::npos);
  EXPECT_TRUE(h.trace.text.empty());
}

}  // namespace
