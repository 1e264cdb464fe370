#include "core/sample_ring.h"

#include <gtest/gtest.h>

namespace maroquint::lsl::core {
namespace {

std::string Sample(int i) {
  return "sample-" + std::to_string(i) + ";";
}

std::string AllFrom(const SampleRing &ring, uint64_t from) {
  std::string out;
  ring.CopyOut(from, out, SIZE_MAX);
  return out;
}

TEST(SampleRing, KeepsSamplesInOrderForEveryReader) {
  SampleRing ring(10);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(ring.Push(Sample(i)));
  EXPECT_EQ(ring.Head(), 5u);
  EXPECT_EQ(AllFrom(ring, 0), "sample-0;sample-1;sample-2;sample-3;sample-4;");
  EXPECT_EQ(AllFrom(ring, 3), "sample-3;sample-4;");
  EXPECT_EQ(AllFrom(ring, 5), "");
}

TEST(SampleRing, ForgetsTheOldestBeyondCapacity) {
  SampleRing ring(3);
  for (int i = 0; i < 7; ++i) ring.Push(Sample(i));
  EXPECT_EQ(ring.Tail(), 4u);
  EXPECT_EQ(AllFrom(ring, 0), "sample-4;sample-5;sample-6;")
      << "a reader behind the tail resumes there";
}

TEST(SampleRing, CopiesInBoundedBatchesButAlwaysAtLeastOneSample) {
  SampleRing ring(100);
  for (int i = 0; i < 10; ++i) ring.Push(Sample(i));
  std::string out;
  auto next = ring.CopyOut(0, out, 20);
  EXPECT_EQ(out, "sample-0;sample-1;");
  EXPECT_EQ(next, 2u);
  std::string big;
  ring.Push(std::string(50, 'x'));
  EXPECT_EQ(ring.CopyOut(10, big, 20), 11u);
  EXPECT_EQ(big.size(), 50u);
}

TEST(SampleRing, ByteStoreWrapsAndGrowsWithoutLosingSamples) {
  SampleRing ring(100000);
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    auto s = Sample(i) + std::string(static_cast<std::size_t>(i % 37), 'a' + i % 26);
    ring.Push(s);
    expected += s;
  }
  EXPECT_EQ(ring.Tail(), 0u);
  EXPECT_EQ(AllFrom(ring, 0), expected);
}

TEST(SampleRing, ByteLimitForgetsTheOldestEvenBelowCapacity) {
  SampleRing ring(1000, 100);
  for (int i = 0; i < 50; ++i) ring.Push(std::string(10, static_cast<char>('a' + i % 26)));
  EXPECT_LE(ring.StoredBytes(), 100u);
  EXPECT_EQ(ring.Head() - ring.Tail(), 10u);
  EXPECT_FALSE(ring.Push(std::string(101, 'z')));
  EXPECT_EQ(ring.Head(), 50u);
}

TEST(SampleRing, ReleasedSamplesAreGoneAndTheirBytesReused) {
  SampleRing ring(1000, 64);
  for (int i = 0; i < 1000; ++i) {
    ring.Push(Sample(i));
    ring.ReleaseBefore(ring.Head());
  }
  EXPECT_EQ(ring.Tail(), ring.Head());
  EXPECT_EQ(ring.StoredBytes(), 0u);
  ring.Push("last");
  EXPECT_EQ(AllFrom(ring, 0), "last");
}

TEST(SampleRing, CapacityIsClamped) {
  EXPECT_EQ(SampleRing(0).Capacity(), 1u);
  EXPECT_EQ(SampleRing(SIZE_MAX).Capacity(), SampleRing::kMaxCapacity);
}

}  // namespace
}  // namespace maroquint::lsl::core
