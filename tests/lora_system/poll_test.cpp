// The poll thread in real time with the simulated radio and the default timing settings.
#include "lora/lora_fixture.h"

using namespace lora_test;
using LoraPollTiming = LoraTest;

// A device that answers every poll at once ends the first try of every round: its answer is on the
// air well within the wait, and the radio's reads, hand-over pause and the main thread's pass that
// follow do not let a second poll go out. Polls and rounds are counted, not timed: the rounds that
// began before the stop (the last one included) against the polls the device heard. A loaded
// machine may legitimately make one answer miss its try, so one extra poll is allowed.
TEST_F(LoraPollTiming, AnsweringDeviceTakesOnePollPerRound) {
    Clock::setForTest(nullptr);
    sim->setImmediateEdgeWaits(false);
    enrol(0, 100, 5);
    LoraFieldDevice& dev = device(100, 5, 6);
    net = std::make_unique<Lora>(*recipe, *live);
    std::thread main([&] { net->loop_thread(); });
    constexpr int kPolls = 4;
    const bool reached = waitUntil([&] { return dev.polls() >= kPolls; }, 240s);
    net->stop();
    main.join();
    ASSERT_TRUE(reached);
    const int polls = dev.polls();
    const int rounds = static_cast<int>(net->pollRound());
    EXPECT_LE(polls, rounds + 1) << polls << " polls in " << rounds << " rounds";
    EXPECT_EQ(items()[0].registers[0].name.view(), "Volume");  // the answers were handled
}
