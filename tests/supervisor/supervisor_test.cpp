#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "supervisor.h"

using orvane::platform::Clock;
using orvane::platform::SimulatedClock;

namespace {

struct Fixture : ::testing::Test {
    SimulatedClock clock;
    std::atomic<bool> exitFlag{false};
    bool portUp = true;
    int64_t nextHold = 0;
    int resets = 0, histories = 0, broadcasts = 0;
    std::vector<int> portsAsked;

    void SetUp() override { Clock::setForTest(&clock); }
    void TearDown() override { Clock::setForTest(nullptr); }

    SupervisorActions actions() {
        SupervisorActions a;
        a.guardPort = [] { return 80; };
        a.portInUse = [this](int p) { portsAsked.push_back(p); return portUp; };
        a.readHoldSeconds = [this](int ms) {
            clock.sleepFor(std::chrono::milliseconds(ms));  // the wait for the button
            int64_t h = nextHold;
            nextHold = 0;
            return h;
        };
        a.hardwarePasswordReset = [this] { ++resets; };
        a.saveHistory = [this] { ++histories; };
        a.broadcastControllerOutputs = [this] { ++broadcasts; };
        return a;
    }
};

}  // namespace

TEST_F(Fixture, IdlePassTakesTwoSecondsAndDoesItsWork) {
    Supervisor s(actions(), exitFlag);
    s.start();
    int64_t t0 = clock.steadyMillis();
    EXPECT_EQ(s.runOnce(), Supervisor::Outcome::Continue);
    EXPECT_EQ(clock.steadyMillis() - t0, 2000);
    EXPECT_EQ(histories, 1);
    EXPECT_EQ(broadcasts, 1);
    EXPECT_EQ(portsAsked, std::vector<int>{80});
}

TEST_F(Fixture, WatchdogActsOnlyAfterMoreThanThirtySeconds) {
    Supervisor s(actions(), exitFlag);
    s.start();
    portUp = false;
    // Passes start at spans 0, 2, ..., 30: none ends the process (exactly 30 does not).
    for (int i = 0; i <= 15; ++i) ASSERT_EQ(s.runOnce(), Supervisor::Outcome::Continue) << i;
    EXPECT_FALSE(exitFlag.load());
    // The pass that starts at span 32 ends it, after one more second.
    int64_t before = clock.steadyMillis();
    EXPECT_EQ(s.runOnce(), Supervisor::Outcome::GuardPortLost);
    EXPECT_TRUE(exitFlag.load());
    EXPECT_EQ(clock.steadyMillis() - before, 1000);
}

TEST_F(Fixture, WatchdogSpanResetsWhenThePortComesBack) {
    Supervisor s(actions(), exitFlag);
    s.start();
    portUp = false;
    for (int i = 0; i < 14; ++i) ASSERT_EQ(s.runOnce(), Supervisor::Outcome::Continue);
    portUp = true;
    ASSERT_EQ(s.runOnce(), Supervisor::Outcome::Continue);
    portUp = false;
    // The pass that saw the port took 2 s: the next passes start at spans 2, 4, ..., 30.
    for (int i = 1; i <= 15; ++i) ASSERT_EQ(s.runOnce(), Supervisor::Outcome::Continue) << i;
    EXPECT_EQ(s.runOnce(), Supervisor::Outcome::GuardPortLost);
}

TEST_F(Fixture, ExactWatchdogBoundaryWithOddSpan) {
    Supervisor s(actions(), exitFlag);
    s.start();
    portUp = false;
    clock.advance(std::chrono::seconds(30));
    EXPECT_EQ(s.runOnce(), Supervisor::Outcome::Continue);  // span 30
    Supervisor s2(actions(), exitFlag);
    s2.start();
    clock.advance(std::chrono::seconds(31));
    EXPECT_EQ(s2.runOnce(), Supervisor::Outcome::GuardPortLost);  // span 31
}

TEST_F(Fixture, ResetOnlyForHoldsLongerThanTenSeconds) {
    Supervisor s(actions(), exitFlag);
    s.start();
    nextHold = 10;
    s.runOnce();
    EXPECT_EQ(resets, 0);
    nextHold = 11;
    s.runOnce();
    EXPECT_EQ(resets, 1);
}

TEST_F(Fixture, ExitFlagEndsThePassBeforeHistory) {
    Supervisor s(actions(), exitFlag);
    s.start();
    exitFlag = true;
    int64_t before = clock.steadyMillis();
    EXPECT_EQ(s.runOnce(), Supervisor::Outcome::ExitRequested);
    EXPECT_EQ(clock.steadyMillis() - before, 3000);  // button wait, 1 s sleep, 1 s before leaving
    EXPECT_EQ(histories, 0);
    EXPECT_EQ(broadcasts, 0);
}
