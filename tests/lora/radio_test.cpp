// SX1268 driver against the simulated chip and clock, GPIO lines in a temporary sysfs tree.
#include <filesystem>
#include <stdexcept>

#include "lora/sx1268.h"
#include "lora_fixture.h"
#include "platform/gpio.h"
#include "platform/spi_port.h"

using namespace lora;
using namespace lora_test;
using orvane::platform::SpiPort;
using testing::Contains;
using orvane::test::writeFile;

namespace {

const Bytes kCalibrate = {0x98, 0xE1, 0xE9}, kSetRx = {0x82, 0x3F, 0xFF, 0xC0};

// Counts the ends of receptions it is told about (what a waiting poll is woken by).
class Radio : public SX1268 {
public:
    int ended() const { return ended_; }

protected:
    void receptionEnded() override { ++ended_; }

private:
    std::atomic<int> ended_{0};
};

class RadioTest : public LoraTest {
protected:
    void SetUp() override {
        LoraTest::SetUp();
        for (int g : {64, 66, 74}) {  // exported lines with their direction and edge files
            for (const char* f : {"/direction", "/edge"}) writeFile(Paths::sysfs("class/gpio/gpio" + std::to_string(g)) + f, "keep");
        }
        sim->setRegister(0x08D8, 0x01), sim->setRegister(0x0889, 0x30), sim->setRegister(0x0736, 0x00);
        radio = std::make_unique<Radio>();
    }
    void TearDown() override { radio.reset(), LoraTest::TearDown(); }
    void bringUp() {  // start and receive preparation; forgets the transfers so far
        ASSERT_EQ(radio->start(), 0);
        ASSERT_EQ(radio->prepare_receive(), 0);
        sim->clearTransfers();
    }
    static std::string gpio(const std::string& rel) { return readFile(Paths::sysfs("class/gpio/" + rel)); }
    bool take(std::chrono::milliseconds wait) { return radio->waitPacket(wait, out, len); }

    std::unique_ptr<Radio> radio;
    std::array<unsigned char, 256> out{};
    unsigned len = 0;
};

}  // namespace

TEST_F(RadioTest, InitSequenceByteForByte) {
    radio->config(903000000, 250, 8, 9, 1, 20);
    ASSERT_EQ(radio->start(), 0);
    const Bytes setPa = {0x95, 0x04, 0x07, 0x00, 0x01}, dio = {0x08, 0x02, 0x63, 0x02, 0x63, 0x00, 0x00, 0x00, 0x00};
    const std::vector<Bytes> expected = {  // groups 0..9
        {0x80, 0x00}, {0x9D, 0x01}, {0x80, 0x00}, {0x96, 0x01}, {0x8F, 0x00, 0x00},
        {0x1D, 0x08, 0xD8, 0x00, 0x00}, {0x0D, 0x08, 0xD8, 0x1F}, setPa, {0x8E, 0x00, 0x04}, dio, kCalibrate,
        {0x86, 0x38, 0x70, 0x00, 0x00}, {0x80, 0x00}, {0x8A, 0x01}, {0x8B, 9, 5, 1, 0}, {0x8C, 0x00, 0x08, 0x00, 0xFF, 0x01, 0x00},
        {0x1D, 0x08, 0x89, 0x00, 0x00}, {0x0D, 0x08, 0x89, 0x34}, {0x1D, 0x08, 0xD8, 0x00, 0x00}, {0x0D, 0x08, 0xD8, 0x1F}, setPa,
        {0x8E, 20, 0x02}, {0x9F, 0x00}, {0x80, 0x00}, {0x8A, 0x01}, {0x8B, 9, 5, 1, 0}, {0x8C, 0x00, 0x08, 0x00, 0xFF, 0x01, 0x00},
        {0xA0, 0x00}, {0x1D, 0x07, 0x36, 0x00, 0x00}, {0x0D, 0x07, 0x36, 0x04}, kSetRx, dio};
    const auto t = sim->transfers();
    ASSERT_EQ(sim->commands(), expected);
    for (size_t i = 1; i < t.size(); ++i) EXPECT_EQ(t[i].steadyMs - t[i - 1].steadyMs, 100) << i;
    ASSERT_EQ(sim->opens().size(), 1u);
    const auto o = sim->opens()[0];
    EXPECT_EQ(std::make_tuple(o.path, o.speed, o.bits), std::make_tuple(Paths::system("dev/spidev0.0"), 500000u, uint8_t{8}));
    EXPECT_EQ(std::make_tuple(sim->unknownOpcodes().size(), sim->mode(), sim->dio1Mask()), std::make_tuple(0u, orvane::test::Sx126xSim::Mode::Rx, 0x0263));
    // Reset line low, 200 ms, high; flash chip select high; exported lines keep direction and edge.
    EXPECT_EQ(std::make_tuple(gpio("gpio64/value"), gpio("gpio74/value"), clock.sleeps().front(), gpio("gpio66/edge")),
              std::make_tuple("1", "1", 200, "keep"));
}

TEST_F(RadioTest, ModulationTable) {
    struct Case { uint32_t freq, bw, sf; uint8_t bwCode, ldro; uint32_t word; };
    for (const Case& c : {Case{903000000, 125, 11, 4, 1, 0x38700000}, Case{903000000, 250, 11, 5, 0, 0x38700000},
                          Case{868100000, 300, 7, 6, 0, 0x36419999}, Case{433000000, 500, 12, 6, 0, 0x1B100000}}) {
        SCOPED_TRACE(c.freq + c.bw + c.sf);
        EXPECT_EQ(frequency_word(c.freq), c.word);
        radio->config(c.freq, c.bw, 8, c.sf, 2, 14);
        sim->clearTransfers();
        ASSERT_EQ(radio->start(), 0);
        EXPECT_EQ(sim->modulationParams(), (Bytes{static_cast<uint8_t>(c.sf), c.bwCode, 2, c.ldro}));
        EXPECT_EQ(std::make_tuple(sim->frequencyWord(), sim->txParams()), std::make_tuple(c.word, Bytes{14, 0x02}));
    }
}

TEST_F(RadioTest, OpenFailuresNameTheirStep) {
    using S = SpiPort::OpenStep;
    for (S s : {S::Open, S::GetSpeed}) {
        sim->failOpen(s);
        EXPECT_EQ(radio->start(), -1);
    }
    EXPECT_EQ(std::make_tuple(sim->transfers().empty(), gpio("gpio64/value")), std::make_tuple(true, ""));  // GPIO untouched
    orvane::platform::SpidevPort port;  // a missing device fails at open, a plain file at the first ioctl
    EXPECT_EQ(port.open(tmp.file("no-such-spidev"), 0, 8, 500000).failed, S::Open);
    writeFile(tmp.file("plain"), "x");
    EXPECT_EQ(port.open(tmp.file("plain"), 0, 8, 500000).failed, S::SetMode);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(RadioTest, GpioExportDirectionEdgeAndFailures) {
    std::filesystem::remove(Paths::sysfs("class/gpio/gpio66/value"));  // 66 not exported yet
    EXPECT_EQ(radio->gpio_init(66, GPIO_IN, INTERRUPT_RISING), 0);
    EXPECT_EQ(std::make_tuple(gpio("export"), gpio("gpio66/direction"), gpio("gpio66/edge")), std::make_tuple("66", "in", "rising"));
    EXPECT_FALSE(std::filesystem::exists(Paths::sysfs("class/gpio/gpio66/value")));  // never created
    EXPECT_EQ(radio->gpio_init(130, GPIO_OUT, INTERRUPT_NONE), 3);  // no direction file
    EXPECT_EQ(gpio("export"), "130");                               // full number
    EXPECT_NE(radio->gpio_write(66, GPIO_HIGH), 0);
    std::filesystem::remove(Paths::sysfs("class/gpio/export"));
    EXPECT_EQ(radio->gpio_init(131, GPIO_OUT, INTERRUPT_NONE), 1);
    EXPECT_EQ(radio->lora_gpio_init(), -1);  // DIO1 not exported, no export file
    EXPECT_NO_THROW(radio->lora_reset());
    std::filesystem::remove(Paths::sysfs("class/gpio/gpio64/value"));
    EXPECT_THROW(radio->lora_reset(), std::runtime_error);
}

TEST_F(RadioTest, TransfersRetryThenThrow) {
    bringUp();
    const uint8_t cmd[2] = {0x80, 0x00};
    uint8_t rx[2];
    sim->failTransfers(4);
    clock.clearSleeps();
    EXPECT_NO_THROW(radio->transfer_r(cmd, rx, 2));
    EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{100, 100, 100, 100, 100}));
    sim->failTransfers(5);
    EXPECT_THAT([&] { radio->transfer_r(cmd, rx, 2); }, testing::ThrowsMessage<std::runtime_error>("Fail to transfer. RC: -1"));
    radio->stop();  // no receive thread: closes SPI
    EXPECT_EQ(radio->transfer(cmd, rx, 2), -1);  // refused before reaching the port
    EXPECT_EQ(std::make_tuple(sim->closes(), sim->transfersOnClosed()), std::make_tuple(1, 0));
}

TEST_F(RadioTest, PublishLimitsCommandsAndTimeOnAir) {
    radio->config(903000000, 125, 8, 12, 1, 20);
    bringUp();
    Bytes frame(254);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(std::make_tuple(radio->publish(nullptr, 3), radio->publish(frame.data(), 254)), std::make_tuple(-1, -1));
    EXPECT_TRUE(sim->transfers().empty());
    clock.clearSleeps();
    ASSERT_EQ(radio->publish(frame.data(), 253), 0);
    const auto cmds = sim->commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ((std::vector<Bytes>{cmds[0], cmds[1], Bytes(cmds[2].begin(), cmds[2].begin() + 2), cmds[3]}),
              (std::vector<Bytes>{{0x02, 0x00, 0x00}, {0x8C, 0x00, 0x08, 0x00, 253, 0x01, 0x00}, {0x0E, 0x00}, {0x83, 0x00, 0x00, 0x00}}));
    EXPECT_EQ(sim->sent(), std::vector<Bytes>{Bytes(frame.begin(), frame.end() - 1)});
    EXPECT_EQ(clock.sleeps().back(), static_cast<int64_t>(time_on_air_ms(12, 4, 1, 253, 8) - 100));
    struct Case { unsigned sf, bw, cr, len, pre, ms; };
    for (const Case& c : {Case{9, 5, 1, 10, 8, 73}, Case{7, 6, 4, 0, 8, 8}, Case{7, 6, 9, 0, 8, 7}, Case{12, 4, 1, 253, 8, 9020}}) {
        EXPECT_EQ(time_on_air_ms(c.sf, c.bw, c.cr, c.len, c.pre), c.ms) << c.sf << " " << c.len;
    }
    radio->config(903000000, 125, 8, 13, 1, 20);  // SF outside 6..12: a fixed pause
    clock.clearSleeps();
    ASSERT_EQ(radio->publish(frame.data(), 10), 0);
    EXPECT_EQ(clock.sleeps().back(), 150);
}

TEST_F(RadioTest, LongPacketHandedOverAs200) {
    bringUp();
    Bytes packet(230);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i + 1);
    sim->deliver(packet, 150, 0x0040);  // a CRC error does not hold the packet back
    EXPECT_EQ(radio->receiveOnce(), SX1268::Pass::Continue);
    ASSERT_TRUE(take(0ms));
    EXPECT_EQ(std::make_tuple(len, out[0]), std::make_tuple(203u, 75));  // length byte, RssiPkt / 2
    EXPECT_EQ(Bytes(out.begin() + 3, out.begin() + 203), Bytes(packet.begin(), packet.begin() + 200));
    const auto cmds = sim->commands();
    EXPECT_THAT(cmds, Contains(Bytes{0x02, 0x00, 0x42}));  // clears exactly the flags read
    const auto rb = std::find_if(cmds.begin(), cmds.end(), [](const Bytes& c) { return c[0] == 0x1E; });
    EXPECT_TRUE(rb != cmds.end() && rb->size() == 203u);  // the read reaches 200 bytes only
    EXPECT_EQ(std::vector<Bytes>(cmds.end() - 2, cmds.end()), (std::vector<Bytes>{kSetRx, {0x12, 0x00, 0x00, 0x00}}));  // re-armed, nothing pending
    EXPECT_FALSE(take(0ms));
    EXPECT_EQ(radio->lastIrqFlags(), 0x0042);
}

// A damaged packet reaches the receiver as it came (the frame's CRC decides) or not at all; either
// way its end is told once, so nobody waits for it longer.
TEST_F(RadioTest, DamagedReceptionsAndTheirEnd) {
    struct Case { const char* what; uint16_t irq; bool rxDone; int failOpcode; bool handed; };
    const Case cases[] = {
        {"CRC error with RxDone", 0x0040, true, -1, true},
        {"CRC error alone", 0x0040, false, -1, false},
        {"read fails", 0, true, 0x1E, false},
    };
    Bytes packet(24, 0x5A);
    packet.back() ^= 0xFF;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = radio->ended();
        bringUp();
        if (c.failOpcode >= 0) sim->failTransfers(5, c.failOpcode);
        if (c.rxDone) sim->deliver(packet, 120, c.irq);
        else sim->raiseIrq(c.irq);
        EXPECT_EQ(radio->receiveOnce(), SX1268::Pass::Continue);
        EXPECT_EQ(take(0ms), c.handed);
        EXPECT_EQ(std::make_tuple(radio->packetInFlight(), radio->ended() - before), std::make_tuple(c.handed, c.handed ? 0 : int{c.rxDone}));
        if (c.handed) {
            EXPECT_EQ(std::make_tuple(len, Bytes(out.begin() + 3, out.begin() + 27)), std::make_tuple(27u, packet));
            radio->packetHandled();
            EXPECT_EQ(std::make_tuple(radio->packetInFlight(), radio->ended() - before), std::make_tuple(false, 1));
        }
        EXPECT_EQ(sim->commands().end()[-2], kSetRx);  // re-armed
    }
}

// The chip hears only in RX: a frame sent while it is in standby is lost; the receive pass re-arms it.
TEST_F(RadioTest, UplinkOutsideReceiveIsLost) {
    bringUp();
    ASSERT_EQ(radio->publish(Bytes(10, 0x44).data(), 10), 0);  // TX, then standby
    sim->deliver(Bytes(30, 0x11));
    EXPECT_EQ(std::make_tuple(sim->lost(), sim->irqFlags() & 0x0002), std::make_tuple(1, 0));
    radio->receiveOnce();  // TxDone: cleared and re-armed
    sim->deliver(Bytes(30, 0x22));
    radio->receiveOnce();
    ASSERT_TRUE(take(0ms));
    EXPECT_EQ(std::make_tuple(out[3], sim->lost(), sim->mode()), std::make_tuple(0x22, 1, orvane::test::Sx126xSim::Mode::Rx));
}

TEST_F(RadioTest, PacketNotTakenIsNeverOverwritten) {
    bringUp();
    sim->deliver(Bytes(30, 0x11));
    ASSERT_EQ(radio->receiveOnce(), SX1268::Pass::Continue);
    sim->deliver(Bytes(40, 0x22));
    std::thread second([&] { radio->receiveOnce(); });  // waits until the first is taken
    ASSERT_TRUE(take(5s));
    EXPECT_EQ(std::make_pair(len, out[3]), std::make_pair(33u, uint8_t{0x11}));
    ASSERT_TRUE(take(30s));
    second.join();
    EXPECT_EQ(std::make_pair(len, out[3]), std::make_pair(43u, uint8_t{0x22}));
}

TEST_F(RadioTest, HeaderErrorAndLongSilenceReinitialise) {
    bringUp();
    sim->raiseIrq(0x0020);
    radio->receiveOnce();
    EXPECT_THAT(sim->commands(), Contains(kCalibrate));  // calibrate: a full initialisation
    sim->clearTransfers();
    for (int i = 0; i < 1000; ++i) radio->receiveOnce();
    EXPECT_TRUE(sim->transfers().empty());
    radio->receiveOnce();  // the 1001st timeout in a row
    EXPECT_THAT(sim->commands(), Contains(kCalibrate));
    EXPECT_EQ(clock.sleeps().back(), 500);
}

// A stop before the thread starts ends every command at once; SPI closes only by the joiner.
TEST_F(RadioTest, StopBeforeAndWhileTheThreadRuns) {
    ASSERT_EQ(radio->start(), 0);
    radio->stop();
    EXPECT_EQ(sim->closes(), 1);
    sim->clearTransfers();
    std::thread([&] { EXPECT_EQ(radio->work_thread(), 0); }).join();
    EXPECT_THROW(radio->lora_init(), std::runtime_error);  // stopping: no command goes out
    EXPECT_TRUE(sim->transfers().empty());
    sim->setImmediateEdgeWaits(false);
    bringUp();  // start clears the stop flag
    std::thread t([&] { radio->work_thread(); });
    sim->deliver(Bytes(28, 0x33));
    ASSERT_TRUE(take(30s));
    EXPECT_EQ(len, 31u);
    radio->stop();
    t.join();
    EXPECT_EQ(sim->closes(), 1);  // not yet: the joiner closes
    radio->close_spi();
    EXPECT_EQ(std::make_tuple(sim->closes(), sim->transfersOnClosed()), std::make_tuple(2, 0));
}

TEST_F(RadioTest, SysfsEdgeLineInterruptEndsTheWait) {
    orvane::platform::SysfsEdgeLine line;
    ASSERT_TRUE(line.open(66));
    EXPECT_TRUE(line.arm());
    std::thread t([&] { std::this_thread::sleep_for(50ms), line.interrupt(); });
    EXPECT_EQ(line.wait(60s), orvane::platform::EdgeLine::Wait::Timeout);  // ended by interrupt()
    t.join();
    EXPECT_TRUE(line.acknowledge());
    line.close();
    EXPECT_EQ(line.wait(10ms), orvane::platform::EdgeLine::Wait::Error);
}
