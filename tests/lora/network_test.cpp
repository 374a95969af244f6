// The network manager against the simulated radio and field devices, one pass at a time.
#include <climits>
#include <filesystem>
#include <tuple>

#include "lora_fixture.h"

using namespace lora;
using namespace lora_test;
using NetworkTest = LoraTest;

TEST_F(NetworkTest, NewTlrEnrolsAndEverythingIsPublished) {
    autoUpload();
    begin();
    LoraFieldDevice& dev = device(100, 5);
    dev.setTlr(1.5f, 2.5f, 7.25f, 12.0f);
    sim->deliver(dev.upload(), 140);
    drain();
    const auto d = sent();
    ASSERT_EQ(d.size(), 1u);  // auto-upload mode: no STOP_UPLOAD
    EXPECT_EQ(std::tie(d[0].type, d[0].master, d[0].device, d[0].seq), std::make_tuple(3, 0, 0, 1));
    ASSERT_EQ(d[0].payload.size(), 24u);
    EXPECT_EQ(std::make_tuple(d[0].payload[16], d[0].payload[17], dev.deviceId(), dev.masterId()), std::make_tuple(1, 6, 6, 1));
    const LoraDeviceRecipeItem it = items()[0];
    EXPECT_EQ(std::make_tuple(it.loraId, it.registers[0].name.view(), it.tankName.view()), std::make_tuple(6, "Volume", "100#5"));
    EXPECT_EQ(std::make_tuple(it.registers[0].value, it.registers[3].value), std::make_tuple(7.25f, -70.0f));  // RSSI: negated first byte
    live->withLock([](ScadaLiveData& l) {
        EXPECT_EQ(std::make_tuple(l.lora.items[0].id, l.lora.items[0].regs[1].value, l.lora.items[1].id), std::make_tuple(6, 2.5f, 0));
    });
}

// In poll mode every upload, answered or refused, is followed by STOP_UPLOAD (payload 03 00).
TEST_F(NetworkTest, UploadInPollModeIsFollowedByStopUpload) {
    using Head = std::tuple<int, int, int, int, size_t>;  // type, master, device, sequence, payload size
    struct Case { uint8_t master; std::vector<Head> expected; };
    for (const Case& c : {Case{1, {{3, 1, 6, 1, 0}, {6, 1, 0, 0, 2}}}, Case{9, {{6, 1, 0, 0, 2}}}}) {  // answered; foreign master
        SCOPED_TRACE(int{c.master});
        restart(), enrol(0, 100, 5), begin();
        LoraFieldDevice& dev = device(100, 5, 6, c.master);
        sim->deliver(dev.upload()), drain();
        std::vector<Head> heads;
        for (const Down& d : sent()) heads.emplace_back(d.type, d.master, d.device, d.seq, d.payload.size());
        EXPECT_EQ(heads, c.expected);
        EXPECT_EQ(dev.broadcasts(), (std::vector<Bytes>{{0x03, 0x00}}));
    }
}

// Descriptions are acknowledged one by one; IDs 6 and 7 (past the 8-slot table) are refused like 8.
TEST_F(NetworkTest, Rw70RegisterDescriptionsAndIdentityReport) {
    autoUpload();
    begin();
    LoraFieldDevice& dev = device(24817, 9);
    dev.setRw70(8.0f, 1, {0x10, 0x00});
    dev.addDescription(1, "Flow", "m3/h", 1, 2);  // slot 3
    dev.addDescription(5, "Last", "bar", 4, 4);   // slot 7
    sim->deliver(dev.upload());
    drain();
    const auto d = sent();
    ASSERT_GE(d.size(), 4u);
    EXPECT_EQ(std::make_tuple(d[1].type, d[1].device, d[1].master, d[1].payload, dev.registerRequests()),
              std::make_tuple(10, 6, 1, Bytes{0x00, 0x00}, 1));  // one register request
    EXPECT_EQ(payloads(2), (std::vector<Bytes>{{1, 'F'}, {5, 'L'}}));  // register ID and the first name character
    const Items it = items();
    const LoraRegisterItem& flow = it[0].registers[3];
    EXPECT_EQ(std::make_tuple(flow.name.view(), flow.unit.view(), flow.displayUnit.view(), flow.valueType, flow.display, it[0].registers[7].name.view()),
              std::make_tuple("Flow", "m3/h", "m3/h", 1, true, "Last"));
    for (uint8_t id : {6, 7, 8}) {
        Bytes desc(32, 0);
        desc[0] = id, desc[2] = 'X';
        sim->deliver(dev.frame(10, desc)), drain();
    }
    EXPECT_EQ(sent().size(), d.size());
    const size_t before = sent().size();
    Bytes report(34, 0);
    report[0] = report[1] = 0xFF;
    std::copy_n("555#777", 7, report.begin() + 18);
    clock.clearSleeps();
    sim->deliver(dev.frame(10, report));
    drain();
    EXPECT_EQ(std::make_tuple(items()[0].devPn, items()[0].devSn), std::make_tuple(555u, 777u));
    EXPECT_EQ(payloads(before), (std::vector<Bytes>{{0xFF, 0xFF}, {0x00, 0x00}, {1, 'F'}, {5, 'L'}}));
    EXPECT_THAT(clock.sleeps(), testing::Contains(2000));
}

TEST_F(NetworkTest, ForeignMasterWrongIdentityGarbageAndUnknownTypeAreDropped) {
    enrol(0, 100, 5);
    autoUpload();
    begin();
    recipe->updateLoraDevices([](Items& i) { i[0].lastTimestamp = 1000; });
    LoraFieldDevice& neighbour = device(100, 5, 6, 9);  // same ID and UID under another master
    LoraFieldDevice& impostor = device(200, 2, 6);      // our master, another device's ID
    for (const Bytes& f : {neighbour.frame(7, neighbour.measurementPayload()), impostor.frame(7, impostor.measurementPayload()),
                           Bytes(40, 0x5A) /* garbage */, impostor.frame(42, {}) /* unknown type */}) {
        sim->deliver(f), drain();  // the chip hears one packet, then is re-armed
    }
    EXPECT_EQ(net->receive(nullptr, 10), -1);
    EXPECT_EQ(sim->lost(), 0);
    EXPECT_EQ(std::make_tuple(items()[0].lastTimestamp, items()[0].registers[0].name.view()), std::make_tuple(1000u, ""));  // no measurements
    EXPECT_TRUE(sent().empty());
}

TEST_F(NetworkTest, SilentDeviceTriedRPlusOneTimesThenEveryTenthRoundUntilAutoUpload) {
    enrol(0, 100, 5);
    setLora([](LoraRecipe& l) { l.pollMaxRetry = 2, l.pollWaitResponseTime = 1; });
    begin();
    LoraFieldDevice& dev = device(100, 5, 6);
    dev.setSilent(true);
    EXPECT_EQ(net->pollPass(), 5s);
    EXPECT_EQ(std::make_tuple(dev.polls(), net->registry().is_device_online(6)), std::make_tuple(3, false));
    for (int round = 1; round < 10; ++round) net->pollPass();
    EXPECT_EQ(dev.polls(), 3);
    net->pollPass();  // round 10
    EXPECT_EQ(dev.polls(), 6);
    const auto d = sent();  // the settings' master ID, consecutive sequence numbers
    EXPECT_EQ(std::tie(d[0].type, d[0].master, d[1].seq), std::make_tuple(7, 1, d[0].seq + 1));
    autoUpload();  // poll -> auto-upload: START_UPLOAD three times, 200 ms apart; then no more polls
    clock.clearSleeps();
    EXPECT_EQ(net->pollPass(), 1s);
    EXPECT_EQ(payloads(6), std::vector<Bytes>(3, Bytes{0x02, 0x01}));
    EXPECT_THAT(clock.sleeps(), testing::Contains(200).Times(2));
    net->pollPass();
    EXPECT_EQ(sent().size(), 9u);
}

TEST_F(NetworkTest, AnsweringDeviceIsPolledOnceAndOthersDoNotEndTheWait) {
    enrol(0, 100, 5), enrol(1, 200, 6), enrol(2, 300, 7);
    recipe->updateLoraDevices([](Items& i) { i[2].passive = true; });
    setLora([](LoraRecipe& l) { l.pollMaxRetry = 1, l.pollWaitResponseTime = 1000; });
    begin();
    LoraFieldDevice &a = device(100, 5, 6), &b = device(200, 6, 7), &battery = device(300, 7, 8);
    a.setSilent(true);
    sim->setImmediateEdgeWaits(false);
    std::atomic<bool> pumping{true};
    std::thread pump([&] { while (pumping) step(); });
    std::thread extra([&] {  // device 7 answers while device 6 is awaited, once the chip is re-armed
        sim->waitSent(1, 30s), waitUntil([&] { return sim->mode() == orvane::test::Sx126xSim::Mode::Rx; }, 30s);
        sim->deliver(b.frame(7, b.measurementPayload()));
    });
    net->pollPass();
    extra.join();
    pumping = false;
    sim->lineInterrupt();
    pump.join();
    // R + 1 tries of the silent one (device 7's answer did not end its wait); passive ones never.
    EXPECT_EQ(std::make_tuple(a.polls(), b.polls(), battery.polls(), sim->lost()), std::make_tuple(2, 1, 0, 0));
    EXPECT_EQ(std::make_tuple(net->registry().is_device_online(6), net->registry().is_device_online(7)), std::make_tuple(false, true));
    EXPECT_EQ(items()[1].registers[0].name.view(), "Volume");
}

// The poll itself re-arms the chip: an answer right after the command that follows SetTx is heard.
TEST_F(NetworkTest, PollRearmsTheRadioAtOnce) {
    enrol(0, 100, 5);
    setLora([](LoraRecipe& l) { l.pollWaitResponseTime = 15000; });  // room for a loaded machine
    begin();
    LoraFieldDevice& dev = device(100, 5, 6);
    sim->setAnswerAfter(1);
    std::atomic<int> result{-1};
    std::thread poller([&] { result = net->poll_one_device(6, net->settings()); });
    const bool heard = waitUntil([&] { return (sim->irqFlags() & 0x0002) != 0; }, 60s);  // RxDone
    if (!heard) net->stop();  // ends the poll at once
    while (result < 0) step();
    poller.join();
    EXPECT_TRUE(heard);
    EXPECT_EQ(std::make_tuple(result.load(), dev.polls(), sim->lost()), std::make_tuple(1, 1, 0));
}

// An answer that arrives damaged ends its try once the radio is done with it, however long a
// heard answer may take: the poll goes on with its next try, whose answer is sound. Default
// wait (1 s): room for a loaded machine to read an answer within it.
TEST_F(NetworkTest, DamagedAnswerEndsItsTryAtOnce) {
    struct Case { const char* what; uint16_t irq; int failOpcode; };
    for (const Case& c : {Case{"CRC error", 0x0040, -1}, Case{"read fails", 0, 0x1E}}) {
        SCOPED_TRACE(c.what);
        restart(), enrol(0, 100, 5);
        setLora([](LoraRecipe& l) { l.pollMaxRetry = 1; });
        begin();
        net->setHeardAnswerLimitForTest(24h);
        LoraFieldDevice& dev = device(100, 5, 6);
        if (c.irq != 0) sim->damageAnswers(1, c.irq);
        if (c.failOpcode >= 0) sim->failTransfers(5, c.failOpcode);
        sim->holdCommand(0x1E);  // the first answer is read only once the try's wait is over
        sim->setImmediateEdgeWaits(false);
        std::atomic<bool> pumping{true};
        std::thread pump([&] { while (pumping) step(); });
        std::atomic<int> result{-1};
        std::thread poller([&] { result = net->poll_one_device(6, net->settings()); });
        const bool held = waitUntil([&] { return sim->holding(); }, 60s);
        std::this_thread::sleep_for(1500ms);
        sim->release();
        const bool done = waitUntil([&] { return result >= 0; }, 60s);
        if (!done) net->stop();
        poller.join();
        pumping = false, sim->lineInterrupt(), pump.join();
        EXPECT_TRUE(held && done);
        EXPECT_EQ(std::make_tuple(result.load(), dev.polls(), net->packetInFlight()), std::make_tuple(1, 2, false));
    }
}

TEST_F(NetworkTest, LongWaitSettingDoesNotWrap) {
    enrol(0, 100, 5);
    setLora([](LoraRecipe& l) { l.pollWaitResponseTime = INT32_MAX; });
    begin();
    LoraFieldDevice& dev = device(100, 5, 6);
    dev.setSilent(true);
    std::atomic<int> result{-1};
    LoraRecipe cfg;
    setLora([&](LoraRecipe& l) { cfg = l; });
    std::thread poller([&] { result = net->poll_one_device(6, cfg); });
    ASSERT_TRUE(sim->waitSent(1, 30s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(dev.polls(), 1);  // still waiting, not retrying at once
    net->stop();
    poller.join();
    EXPECT_EQ(result, 0);
}

TEST_F(NetworkTest, SettingsChangeRestartsTheRadioAndDeviceRemovedFromUiIsReset) {
    enrol(0, 100, 5), enrol(1, 200, 6);
    begin();
    step();  // the initial change bits were consumed at start-up
    EXPECT_EQ(sim->opens().size(), 1u);
    setLora([](LoraRecipe& l) { l.SF = 12, l.BW = 125; });
    recipe->triggerReload(SCADA_MASK_LORA);
    step();
    EXPECT_EQ(std::make_tuple(sim->opens().size(), sim->closes(), sim->transfersOnClosed()), std::make_tuple(2u, 1, 0));
    EXPECT_EQ(sim->modulationParams(), (Bytes{12, 4, 1, 1}));
    recipe->updateLoraDevices([](Items& i) { i[0].display = false; });
    recipe->triggerReload(SCADA_MASK_LORA_DEVICE);
    step();
    EXPECT_EQ(std::make_tuple(items()[0].loraId, items()[1].loraId), std::make_tuple(0, 7));
    EXPECT_EQ(configFile()["loraDevice"][0]["loraId"], 0);
    live->withLock([](ScadaLiveData& l) { EXPECT_EQ(l.lora.items[0].id, 7); });
}

// parameter.json and lora_devices.json (loaded over the recipe at restart) follow every saved change.
TEST_F(NetworkTest, FilesFollowEnrolmentReportsAndDeviceListChanges) {
    using Act = std::function<void(LoraFieldDevice&)>;
    const Act upload = [this](LoraFieldDevice& d) { sim->deliver(d.upload()); };
    const Act edit = [this](LoraFieldDevice&) {
        recipe->updateLoraDevices([](Items& i) { i[0].tankName = "Tank B", i[0].registers[1].displayUnit = "ft"; });
        recipe->triggerReload(SCADA_MASK_LORA_DEVICE);
    };
    struct Case { const char* what; uint32_t pn; bool enrolled; Act act; const char* reg0; const char* tank; int reg; const char* unit; };
    const Case cases[] = {
        {"enrolment", 100, false, upload, "Volume", "Tank A", 0, "m3"},
        {"slave broadcast", 100, true, [this](LoraFieldDevice& d) { sim->deliver(d.slaveBroadcast()); }, "Volume", "Tank A", 0, "m3"},
        {"operator edit", 100, true, edit, "", "Tank B", 1, "ft"},
        {"register description", 24817, false, upload, "AI", "Tank A", 3, "m3/h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        std::filesystem::remove(scada_paths::LORA_DEVICE_FILE());
        autoUpload();
        if (c.enrolled) enrol(0, c.pn, 5);
        recipe->updateLoraDevices([](Items& i) { i[0].tankName = "Tank A"; });
        begin();
        step();  // start-up and the first pass consume the initial change bits
        std::filesystem::remove(scada_paths::CONFIG_FILE());
        LoraFieldDevice& dev = device(c.pn, 5, c.enrolled ? 6 : 0);
        dev.setRw70(8.0f, 1, {0x10, 0x00});
        dev.addDescription(1, "Flow", "m3/h", 1, 2);
        c.act(dev);
        drain();
        ASSERT_TRUE(std::filesystem::exists(scada_paths::CONFIG_FILE()));
        const Json doc = configFile()["loraDevice"][0];
        EXPECT_EQ(std::make_tuple(doc["tankName"], doc["loraId"], doc["registers"][0]["name"]), std::make_tuple(c.tank, 6, c.reg0));
        const Json file = Json::parse(readFile(scada_paths::LORA_DEVICE_FILE()));
        ASSERT_EQ(file["devices"].size(), 1u);
        EXPECT_EQ(std::make_tuple(file["devices"][0]["tankName"], file["devices"][0]["registers"][c.reg]["displayUnit"]), std::make_tuple(c.tank, c.unit));
        ASSERT_TRUE(net->registry().load_devices());  // a restart loads the file: the later settings stay
        EXPECT_EQ(std::make_tuple(items()[0].tankName.view(), items()[0].registers[c.reg].displayUnit.view()), std::make_tuple(c.tank, c.unit));
    }
}

// parameter.json is saved when a report changes a sensor's battery flag, and only then.
TEST_F(NetworkTest, PassiveChangeSavesParameterFile) {
    enrol(0, 100, 5), autoUpload(), begin(), step();  // start-up and the first pass save what they change
    LoraFieldDevice& dev = device(100, 5, 6);
    struct Case { float battery; bool saved, passive; };
    for (const Case& c : {Case{3.5f, true, true}, Case{6.0f, false, true}, Case{12.0f, true, false}}) {
        SCOPED_TRACE(c.battery);
        std::filesystem::remove(scada_paths::CONFIG_FILE());
        dev.setTlr(1.0f, 2.0f, 3.0f, c.battery);
        sim->deliver(dev.upload()), drain();
        EXPECT_EQ(items()[0].passive, c.passive);
        ASSERT_EQ(std::filesystem::exists(scada_paths::CONFIG_FILE()), c.saved);
        if (c.saved) { EXPECT_EQ(configFile()["loraDevice"][0]["passive"], c.passive); }
    }
}

TEST_F(NetworkTest, OfflineTimeoutSettingIsUnsigned) {
    struct Case { int32_t timeout; int64_t silentFor; bool online; };
    const Case cases[] = {{129600, 129600, true}, {129600, 129601, false}, {INT32_MIN, 10'000'000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        restart();
        enrol(0, 100, 5);
        setLora([&](LoraRecipe& l) { l.devOfflineTimeout = c.timeout; });
        begin();
        recipe->updateLoraDevices([&](Items& i) { i[0].lastTimestamp = static_cast<uint32_t>(clock.wallSeconds()); });
        clock.advance(std::chrono::seconds(c.silentFor));
        step();
        EXPECT_EQ(net->registry().is_device_online(6), c.online);
    }
}
