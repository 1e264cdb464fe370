// An outlet's admission of connections in virtual time: whatever peers
// hold open, a new consumer gets in, and every time limit is kept.
#include "core/admission_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace maroquint::lsl::core {
namespace {

using Id = AdmissionPolicy::Id;

AdmissionLimits Limits(std::size_t pending, std::size_t streaming, double timeout = 10.0) {
  AdmissionLimits limits;
  limits.max_pending = pending;
  limits.max_streaming = streaming;
  limits.request_timeout = timeout;
  return limits;
}

// A new connection, whatever it made room for.
Id Connect(AdmissionPolicy &p, double now) {
  std::vector<Id> drop;
  return p.Connected(now, drop);
}

struct Answer {
  bool admitted = false;
  std::optional<Id> victim;  // the consumer closed to make room
};

// The connection's request is read and asks for samples.
Answer AskToStream(AdmissionPolicy &p, Id id) {
  Answer answer;
  p.RequestRead(id);
  answer.admitted = p.StreamRequested(id, answer.victim);
  return answer;
}

// A connection whose request for samples is admitted.
Id Consumer(AdmissionPolicy &p, double now) {
  const Id id = Connect(p, now);
  const Answer answer = AskToStream(p, id);
  EXPECT_TRUE(answer.admitted);
  EXPECT_FALSE(answer.victim);
  return id;
}

TEST(AdmissionPolicy, AThousandIdleConnectionsLockNobodyOut) {
  AdmissionPolicy p{AdmissionLimits{}};
  std::vector<Id> ids;
  std::vector<Id> dropped;
  for (int i = 0; i < 1000; ++i) ids.push_back(p.Connected(1.0 + i * 0.001, dropped));
  EXPECT_EQ(p.Pending(), 64u);
  // Each past the 64th made the one waiting longest go, in order.
  ASSERT_EQ(dropped.size(), 1000u - 64u);
  for (std::size_t i = 0; i < dropped.size(); ++i) EXPECT_EQ(dropped[i], ids[i]);
  std::vector<Id> drop;
  const Id newcomer = p.Connected(2.0, drop);
  EXPECT_EQ(drop, std::vector<Id>{ids[1000 - 64]});
  const Answer answer = AskToStream(p, newcomer);
  EXPECT_TRUE(answer.admitted);
  EXPECT_FALSE(answer.victim);
  EXPECT_EQ(p.Streaming(), 1u);
  EXPECT_EQ(p.Pending(), 63u);
}

TEST(AdmissionPolicy, ConsumersDoNotCountAgainstUnfinishedRequests) {
  AdmissionPolicy p{Limits(2, 100)};
  for (int i = 0; i < 10; ++i) Consumer(p, 1.0);
  std::vector<Id> drop;
  p.Connected(2.0, drop);
  p.Connected(2.0, drop);
  EXPECT_TRUE(drop.empty());
  EXPECT_EQ(p.Streaming(), 10u);
}

TEST(AdmissionPolicy, AFailedAcceptDropsTheOldestUnfinishedRequest) {
  AdmissionPolicy p{AdmissionLimits{}};
  EXPECT_FALSE(p.AcceptFailed()) << "nothing to drop";
  const Id consumer = Consumer(p, 1.0);
  const Id first = Connect(p, 2.0);
  const Id second = Connect(p, 3.0);
  EXPECT_EQ(p.AcceptFailed(), first);
  EXPECT_EQ(p.AcceptFailed(), second);
  EXPECT_FALSE(p.AcceptFailed()) << "a consumer is never dropped for it";
  EXPECT_EQ(p.Streaming(), 1u);
  p.Closed(consumer);
  EXPECT_EQ(p.Streaming(), 0u);
}

TEST(AdmissionPolicy, UnfinishedRequestsEndAtTheRequestTimeout) {
  AdmissionPolicy p{Limits(64, 1024, 0.2)};
  const Id silent = Connect(p, 10.0);
  const Id later = Connect(p, 10.1);
  EXPECT_DOUBLE_EQ(p.NextDeadline(), 10.2);
  EXPECT_TRUE(p.TakeExpired(10.19).empty());
  EXPECT_EQ(p.TakeExpired(10.2), std::vector<Id>{silent});
  EXPECT_DOUBLE_EQ(p.NextDeadline(), 10.1 + 0.2);
  EXPECT_EQ(p.TakeExpired(11.0), std::vector<Id>{later});
  EXPECT_EQ(p.NextDeadline(), AdmissionPolicy::kNever);
  EXPECT_EQ(p.Pending(), 0u);
}

TEST(AdmissionPolicy, ARequestReadInTimeEndsItsDeadline) {
  AdmissionPolicy p{Limits(64, 1024, 0.2)};
  const Id id = Connect(p, 10.0);
  p.RequestRead(id);
  EXPECT_EQ(p.NextDeadline(), AdmissionPolicy::kNever);
  EXPECT_TRUE(p.TakeExpired(100.0).empty());
  EXPECT_EQ(p.Pending(), 1u) << "still pending until it streams or closes";
}

TEST(AdmissionPolicy, AnAnswerMustBeTakenWithinTheTimeoutToo) {
  AdmissionPolicy p{Limits(64, 1024, 0.2)};
  const Id id = Connect(p, 10.0);
  p.RequestRead(id);
  p.Answering(id, 50.0);
  EXPECT_DOUBLE_EQ(p.NextDeadline(), 50.2);
  EXPECT_TRUE(p.TakeExpired(50.1).empty());
  EXPECT_EQ(p.TakeExpired(50.2), std::vector<Id>{id});
}

TEST(AdmissionPolicy, AClosedConnectionHasNoDeadlineLeft) {
  AdmissionPolicy p{Limits(64, 1024, 0.2)};
  const Id id = Connect(p, 10.0);
  p.Closed(id);
  p.Closed(id);
  p.Closed(12345);
  EXPECT_EQ(p.NextDeadline(), AdmissionPolicy::kNever);
  EXPECT_TRUE(p.TakeExpired(100.0).empty());
  EXPECT_EQ(p.Pending(), 0u);
}

TEST(AdmissionPolicy, AConsumerHasNoTimeLimit) {
  AdmissionPolicy p{Limits(64, 1024, 0.2)};
  Consumer(p, 10.0);
  EXPECT_EQ(p.NextDeadline(), AdmissionPolicy::kNever);
  EXPECT_TRUE(p.TakeExpired(1e9).empty());
  EXPECT_EQ(p.Streaming(), 1u);
}

TEST(AdmissionPolicy, ADroppedRequestIsForgotten) {
  AdmissionPolicy p{Limits(1, 1024, 0.2)};
  std::vector<Id> drop;
  const Id first = p.Connected(10.0, drop);
  const Id second = p.Connected(10.1, drop);
  EXPECT_EQ(drop, std::vector<Id>{first});
  EXPECT_EQ(p.TakeExpired(100.0), std::vector<Id>{second}) << "the dropped one has no deadline";
  std::optional<Id> victim;
  EXPECT_FALSE(p.StreamRequested(first, victim)) << "a dropped request never streams";
}

TEST(AdmissionPolicy, TheConsumerStuckLongestMakesRoom) {
  AdmissionPolicy p{Limits(64, 3)};
  const Id a = Consumer(p, 1.0);
  const Id b = Consumer(p, 1.0);
  const Id c = Consumer(p, 1.0);
  p.WriteStarted(a, 5.0);
  p.WriteStarted(b, 3.0);
  p.WriteStarted(c, 4.0);
  p.WriteEnded(c);
  const Answer answer = AskToStream(p, Connect(p, 6.0));
  EXPECT_TRUE(answer.admitted);
  EXPECT_EQ(answer.victim, b);
  EXPECT_EQ(p.Streaming(), 3u);
  p.Closed(b);
  EXPECT_EQ(p.Streaming(), 3u) << "already forgotten";
}

TEST(AdmissionPolicy, WhenEveryConsumerReadsANewcomerIsRefused) {
  AdmissionPolicy p{Limits(64, 2)};
  const Id a = Consumer(p, 1.0);
  const Id b = Consumer(p, 1.0);
  p.WriteStarted(a, 2.0);
  p.WriteEnded(a);
  const Id newcomer = Connect(p, 3.0);
  const Answer answer = AskToStream(p, newcomer);
  EXPECT_FALSE(answer.admitted);
  EXPECT_FALSE(answer.victim);
  EXPECT_EQ(p.Streaming(), 2u);
  p.Closed(newcomer);
  p.Closed(b);
  EXPECT_EQ(p.Pending(), 0u);
  EXPECT_EQ(p.Streaming(), 1u);
}

TEST(AdmissionPolicy, RequestsDrippingSlowerThanTheTimeoutLockNobodyOut) {
  // 80 peers each keep one request open, reconnecting as soon as theirs is
  // dropped; a consumer arriving in the midst still streams.
  AdmissionPolicy p{AdmissionLimits{}};
  std::vector<Id> drop;
  for (int second = 0; second < 30; ++second) {
    const double now = second;
    for (const Id expired : p.TakeExpired(now)) drop.push_back(expired);
    const std::size_t reconnect = second == 0 ? 80 : drop.size();
    drop.clear();
    for (std::size_t i = 0; i < reconnect; ++i) p.Connected(now, drop);
    EXPECT_LE(p.Pending(), 64u);
  }
  std::vector<Id> made_room;
  const Id newcomer = p.Connected(30.5, made_room);
  EXPECT_EQ(made_room.size(), 1u);
  EXPECT_TRUE(AskToStream(p, newcomer).admitted);
}

}  // namespace
}  // namespace maroquint::lsl::core
