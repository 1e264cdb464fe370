#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "base/json.h"
#include "base/result.h"
#include "base/stats.h"
#include "base/text.h"
#include "base/time.h"

namespace maroquint::base {
namespace {

enum class Fault { kMissing, kBroken };

Result<int, Fault> Half(int value) {
  if (value % 2) return Fail(Fault::kBroken, Format("%d is odd", value));
  return value / 2;
}

Status<Fault> Check(bool good) {
  if (!good) return Fail(Fault::kMissing, "nothing there");
  return {};
}

TEST(Result, CarriesTheValueOrTheTypedError) {
  const auto half = Half(8);
  ASSERT_TRUE(half.Ok());
  EXPECT_EQ(*half, 4);
  const auto odd = Half(7);
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.Code(), Fault::kBroken);
  EXPECT_EQ(odd.Message(), "7 is odd");
  EXPECT_TRUE(Check(true).Ok());
  EXPECT_EQ(Check(false).Code(), Fault::kMissing);
  EXPECT_EQ(Check(false).Message(), "nothing there");
}

TEST(Result, MovesAValueThatCannotBeCopied) {
  Result<std::unique_ptr<int>, Fault> made(std::make_unique<int>(3));
  const std::unique_ptr<int> taken = std::move(made).Value();
  EXPECT_EQ(*taken, 3);
}

TEST(Text, FormatsAnyLength) {
  EXPECT_EQ(Format("%.3f s", 1.25), "1.250 s");
  const std::string long_text(1000, 'x');
  EXPECT_EQ(Format("<%s>", long_text.c_str()), "<" + long_text + ">");
}

TEST(Text, TrimsAndComparesWithoutCase) {
  EXPECT_EQ(Trim(" \t key = value\r\n"), "key = value");
  EXPECT_EQ(Trim(" \n "), "");
  EXPECT_TRUE(EqualsIgnoreCase("Dev1/AI0", "dev1/ai0"));
  EXPECT_FALSE(EqualsIgnoreCase("dev1", "dev10"));
  EXPECT_FALSE(EqualsIgnoreCase("\xc3\x84", "\xc3\xa4"));
  EXPECT_EQ(ToLower("ON"), "on");
}

TEST(Time, FormatsUtcWithMicrosecondsAndCarries) {
  EXPECT_EQ(FormatUtc(0.0), "1970-01-01T00:00:00.000000Z");
  EXPECT_EQ(FormatUtc(1798761599.9999996), "2027-01-01T00:00:00.000000Z");
  EXPECT_EQ(FormatUtc(951782400.25), "2000-02-29T00:00:00.250000Z");
}

TEST(Stats, NearestRankPercentile) {
  EXPECT_EQ(NearestRankPercentile({5, 1, 4, 2, 3}, 0.5), 3);
  EXPECT_EQ(NearestRankPercentile({5, 1, 4, 2, 3}, 0.0), 1);
  EXPECT_EQ(NearestRankPercentile({5, 1, 4, 2, 3}, 1.0), 5);
  std::vector<double> hundred;
  for (int k = 1; k <= 100; ++k) hundred.push_back(k);
  EXPECT_EQ(NearestRankPercentile(hundred, 0.99), 99);
  EXPECT_TRUE(std::isnan(NearestRankPercentile({}, 0.5)));
}

TEST(Json, EscapesAndWritesNonFiniteAsNull) {
  Json value;
  value["text"] = "tab\there \"quoted\" \x01";
  value["nan"] = std::nan("");
  value["bad"] = std::string("\xff");
  const std::string written = WriteJson(value);
  EXPECT_NE(written.find(R"("text": "tab\there \"quoted\" \u0001")"), std::string::npos) << written;
  EXPECT_NE(written.find(R"("nan": null)"), std::string::npos) << written;
  EXPECT_NE(written.find(R"("bad": "\ufffd")"), std::string::npos) << written;
}

}  // namespace
}  // namespace maroquint::base
