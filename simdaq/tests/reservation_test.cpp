// The device is reserved for one process from the first start of a task to
// the clearing of the last task that ran.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;

class FakeReservation : public maroquint::simdaq::Reservation {
 public:
  bool Take(std::string &why) override {
    ++takes;
    why = problem;
    if (!free) return false;
    held = true;
    return true;
  }
  void Give() override {
    EXPECT_TRUE(held);
    held = false;
  }
  bool free = true;
  bool held = false;
  int takes = 0;
  std::string problem;
};

TEST(Reservation, HeldFromTheFirstStartUntilTheLastClear) {
  FakeReservation reservation;
  Harness h("clock=virtual", &reservation);
  ASSERT_EQ(h.Open(), 0);
  EXPECT_TRUE(reservation.held);
  EXPECT_EQ(reservation.takes, 1);
  ASSERT_EQ(h.driver.StopTask(h.out), 0);
  ASSERT_EQ(h.driver.StopTask(h.in), 0);
  EXPECT_TRUE(reservation.held) << "stopped tasks still hold the device";
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  EXPECT_TRUE(reservation.held);
  ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  EXPECT_FALSE(reservation.held);

  // A task that never ran does not keep the device; a read that starts a task takes it.
  TaskHandle idle = nullptr;
  ASSERT_EQ(h.driver.CreateTask("idle", &idle), 0);
  ASSERT_EQ(h.Open(), 0);
  EXPECT_EQ(reservation.takes, 2);
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  EXPECT_FALSE(reservation.held);
}

TEST(Reservation, HeldByAnotherProcess) {
  FakeReservation reservation;
  reservation.free = false;
  Harness h("clock=virtual", &reservation);
  EXPECT_EQ(h.Open(), -50103);
  EXPECT_EQ(h.ErrorText(),
            "The specified resource is reserved. The operation could not be completed as "
            "specified.\n\nTask Name: _unnamedTask<0>\n\nStatus Code: -50103");
  double v = 0;
  EXPECT_EQ(h.Read(v), -50103) << "a read that starts the task is refused too";
  EXPECT_EQ(h.Write(1.0), -50103);

  // Once the other process lets go, the same tasks start.
  reservation.free = true;
  EXPECT_EQ(h.driver.StartTask(h.out), 0);
  EXPECT_EQ(h.driver.StartTask(h.in), 0);
  EXPECT_TRUE(reservation.held);
}

TEST(Reservation, AFailedReservationSaysWhy) {
  FakeReservation reservation;
  reservation.free = false;
  reservation.problem = "no socket for the reservation: Too many open files.";
  Harness h("clock=virtual", &reservation);
  EXPECT_EQ(h.Open(), -200077);
  EXPECT_NE(h.ErrorText().find("cannot be reserved for this process: " + reservation.problem),
            std::string::npos)
      << h.ErrorText();
}

}  // namespace
