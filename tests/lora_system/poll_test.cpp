// The poll thread in real time with the simulated radio and the default timing settings.
#include "lora/lora_fixture.h"

using namespace lora_test;
using LoraPollTiming = LoraTest;

// A device that answers every poll at once is polled once per round (one extra for a loaded machine).
TEST_F(LoraPollTiming, AnsweringDeviceTakesOnePollPerRound) {
    Clock::setForTest(nullptr);
    sim->setImmediateEdgeWaits(false);
    enrol(0, 100, 5);
    LoraFieldDevice& dev = device(100, 5, 6);
    net = std::make_unique<Lora>(*recipe, *live);
    std::thread main([&] { net->loop_thread(); });
    const bool reached = waitUntil([&] { return dev.polls() >= 4; }, 240s);
    net->stop();
    main.join();
    ASSERT_TRUE(reached);
    EXPECT_LE(dev.polls(), static_cast<int>(net->pollRound()) + 1) << dev.polls() << " polls in " << net->pollRound() << " rounds";
}
