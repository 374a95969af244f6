// Device registry: enrolment, reset, live entries, the device file, the recipe helper under contention.
#include <string>
#include <thread>
#include <tuple>

#include "lora/lora_device_manager.h"
#include "lora_fixture.h"

using namespace lora;
using namespace lora_test;
using orvane::test::writeFile;

namespace {

class RegistryTest : public LoraTest {
protected:
    void SetUp() override { LoraTest::SetUp(), reg = std::make_unique<LoraDeviceManager>(*recipe); }
    void TearDown() override { reg.reset(), LoraTest::TearDown(); }
    const std::string file = scada_paths::LORA_DEVICE_FILE();
    std::unique_ptr<LoraDeviceManager> reg;
};

}  // namespace

TEST_F(RegistryTest, ReEnrolmentResetAndRefusals) {
    EXPECT_EQ(reg->allocate_device(now(), 100, 1), 6);
    EXPECT_EQ(reg->allocate_device(now(), 200, 2), 7);
    reg->set_device_status(6, DeviceStatus::OFFLINE);
    EXPECT_EQ(reg->allocate_device(now(), 100, 1), 6);  // same pn and sn keep their ID
    EXPECT_TRUE(reg->is_device_online(6));
    recipe->updateLoraDevices([&](Items& i) { reg->reset_device(i[0]); });
    EXPECT_EQ(std::make_tuple(reg->is_device_online(6), items()[0].loraId, items()[0].precision), std::make_tuple(false, 0, 3));
    EXPECT_EQ(reg->allocate_device(now(), 300, 3), 6);  // slot 0 reused
    // Refusals: PN 0, an empty UID; (0, 0) never matches a free slot.
    EXPECT_EQ(std::make_tuple(reg->allocate_device(now(), 0, 5), reg->allocate_device(now(), Uid{})), std::make_tuple(-1, -1));
    EXPECT_EQ(std::make_tuple(reg->get_device_lora_id(0, 0), reg->get_device_lora_id(200, 2)), std::make_tuple(-1, 7));
    EXPECT_EQ(reg->allocate_device(now(), Uid{'2', '4', '8', '1', '7', '#', '9'}), 8);
    EXPECT_EQ(items()[2].pn, 24817u);
    EXPECT_EQ(reg->allocate_device(now(), 4294967295u, 4294967295u), 9);  // the default name is cut to 16
    EXPECT_EQ(std::make_tuple(reg->get_customized_name(4294967295u, 4294967295u), reg->get_customized_name(1, 1)), std::make_tuple("4294967295#42949", ""));
    // Statuses of IDs outside 6..21 read offline and ignore writes.
    for (unsigned id : {5u, 22u}) reg->set_device_status(id, DeviceStatus::ONLINE);
    EXPECT_FALSE(reg->is_device_online(5) || reg->is_device_online(22));
}

TEST_F(RegistryTest, TimestampFollowsTheItemsLoraId) {
    recipe->updateLoraDevices([](Items& i) { i[0].loraId = 9, i[0].pn = 1, i[0].sn = 1; });  // as the REST API writes it
    clock.advance(std::chrono::seconds(50));
    EXPECT_TRUE(reg->update_device_timestamp(9));
    EXPECT_EQ(std::make_tuple(items()[0].lastTimestamp, items()[3].lastTimestamp, reg->is_device_online(9)), std::make_tuple(now(), 0u, true));
    for (unsigned id : {10u, 5u, 22u}) EXPECT_FALSE(reg->update_device_timestamp(id)) << id;  // no item carries 10
    EXPECT_FALSE(reg->update_device_timestamp(9, 1, 2));  // wrong SN
    EXPECT_TRUE(reg->update_device_timestamp(9, 1, 1));
}

TEST_F(RegistryTest, LiveDataOnlineFirstAndClearedWhole) {
    for (unsigned k = 0; k < 3; ++k) ASSERT_EQ(reg->allocate_device(now(), k == 1 ? 24817 : 100 * (k + 1), k + 1), static_cast<int>(k + 6));
    reg->set_device_status(6, DeviceStatus::OFFLINE);
    recipe->updateLoraDevices([](Items& i) {
        i[1].tankName = "Pump house";
        i[2].registers[0].name = "Level", i[2].registers[0].unit = "m", i[2].registers[0].value = 1.5f;
    });
    auto live = std::make_unique<LoraLiveData>();
    for (auto& e : live->items) {  // devices that have gone
        e.id = 99, e.uid = "stale";
        for (auto& m : e.regs) m.name = "old";
    }
    reg->update_live_data(*live);
    const auto &a = live->items[0], &b = live->items[1];
    EXPECT_EQ(std::make_tuple(a.id, a.cust_name.view(), a.regs[2].name.view()), std::make_tuple(7, "Pump house", ""));  // no stale "old"
    EXPECT_EQ(std::make_tuple(b.id, b.uid.view(), b.cust_name.view(), b.regs[0].name.view(), b.regs[1].name.view(), b.timestamp),
              std::make_tuple(8, "300#3", "300#3", "Level", "", now()));
    for (size_t n = 2; n < 16; ++n) {
        EXPECT_EQ(std::make_tuple(live->items[n].id, live->items[n].uid.view(), live->items[n].regs[0].name.view()), std::make_tuple(0, "", "")) << n;
    }
    EXPECT_EQ(items()[2].tankName.view(), "300#3");  // tankName default
    EXPECT_TRUE(reg->take_recipe_changed());
}

TEST_F(RegistryTest, DeviceFileRoundTrip) {
    ASSERT_EQ(reg->allocate_device(now(), 100, 1), 6);
    ASSERT_EQ(reg->allocate_device(now(), 200, 2), 7);
    recipe->updateLoraDevices([](Items& i) {
        i[0].tankName = "North", i[0].precision = 2;
        LoraRegisterItem& r = i[0].registers[1];
        r.displayUnit = "ft", r.calculated = true, r.maxValueCalculated = 7.5f, r.nameCalculated = "Pct";
        i[1].display = false;
        i[5].pn = 9;  // pn without sn: not written
    });
    ASSERT_TRUE(reg->save_devices());
    const auto doc = nlohmann::json::parse(readFile(file));
    ASSERT_EQ(doc["devices"].size(), 2u);
    EXPECT_EQ(doc["saveTime"], now());
    const auto& d = doc["devices"][0];
    EXPECT_EQ(std::make_tuple(d["loraId"], d["pn"], d["tankName"], d["precision"], d["enable"]), std::make_tuple(6, 100, "North", 2, true));
    ASSERT_EQ(d["registers"].size(), 8u);
    const auto& r = d["registers"][1];
    for (const char* k : {"name", "unit", "displayUnit", "nameCalculated", "unitCalculated", "display", "calculated",
                          "minValue", "maxValue", "minValueCalculated", "maxValueCalculated"}) EXPECT_TRUE(r.contains(k)) << k;
    EXPECT_EQ(std::make_tuple(r["displayUnit"], r["maxValueCalculated"], doc["devices"][1]["display"]), std::make_tuple("ft", 7.5, false));

    auto edited = doc;
    edited["devices"].push_back({{"pn", 555}, {"sn", 5}, {"tankName", "ghost"}});
    edited["devices"][1].erase("registers");
    edited["devices"][1]["tankName"] = "Renamed";
    edited["devices"][1]["loraId"] = 15;  // never taken from the file
    writeFile(file, edited.dump());
    recipe->updateLoraDevices([](Items& i) {
        i[0].tankName.clear(), i[0].precision = 3, i[0].registers[1] = LoraRegisterItem{};
        i[1].registers[0].displayUnit = "keep";
    });
    ASSERT_TRUE(reg->load_devices());
    const Items it = items();
    const LoraRegisterItem& r1 = it[0].registers[1];
    EXPECT_EQ(std::make_tuple(it[0].tankName.view(), it[0].precision, r1.displayUnit.view(), r1.calculated, r1.nameCalculated.view()),
              std::make_tuple("North", 2, "ft", true, "Pct"));
    EXPECT_EQ(std::make_tuple(it[1].tankName.view(), it[1].loraId, it[1].registers[0].displayUnit.view()),
              std::make_tuple("Renamed", 7, "keep"));
    for (const auto& i : it) EXPECT_NE(i.tankName.view(), "ghost");
}

TEST_F(RegistryTest, BadDeviceFileKeptAsideAndRecipeUnchanged) {
    ASSERT_EQ(reg->allocate_device(now(), 100, 1), 6);
    recipe->updateLoraDevices([](Items& i) { i[0].tankName = "Mine"; });
    EXPECT_FALSE(reg->load_devices());  // no file yet
    const std::string bad = "{\"devices\": [ {\"pn\": 100, \"sn\": 1, \"tankName\": ";
    // A wrong value type fails the whole load; nothing half-applied.
    for (const std::string& text : {bad, std::string(R"({"devices":[{"pn":100,"sn":1,"tankName":"Other","registers":[{"display":"yes"}]}]})")}) {
        writeFile(file, text);
        EXPECT_FALSE(reg->load_devices()) << text;
    }
    EXPECT_EQ(items()[0].tankName.view(), "Mine");
    writeFile(file, bad);
    ASSERT_TRUE(reg->save_devices());
    EXPECT_EQ(readFile(file + ".bad"), bad);
    EXPECT_TRUE(nlohmann::json::accept(readFile(file)));
}

// Edits through the helper while the registry enrols and resets are not lost; the 17th device is refused.
TEST_F(RegistryTest, HelperUnderContentionLosesNothingThenFull) {
    constexpr int kEdits = 2000;
    std::thread editor([&] {
        for (int n = 0; n < kEdits; ++n) recipe->updateLoraDevices([&](Items& i) {
            for (auto& item : i) ++item.id;  // id is never touched by the registry
            i[n % 16].tankName = "T" + std::to_string(n % 16);
        });
    });
    for (int round = 0; round < 20; ++round) {
        for (unsigned k = 0; k < 16; ++k) reg->allocate_device(now(), 1000 + k, 1);
        for (unsigned k = 0; k < 16; ++k) reg->update_device_timestamp(k + 6);
        if (round < 19) recipe->updateLoraDevices([&](Items& i) { reg->reset_device(i[round % 16]); });
    }
    editor.join();
    EXPECT_EQ(reg->allocate_device(now(), 999, 1), -1);
    EXPECT_TRUE(reg->has_unsaved_changes());
    const Items it = items();
    for (size_t k = 0; k < 16; ++k) {
        EXPECT_EQ(std::make_tuple(it[k].id, it[k].loraId, it[k].displayId, it[k].enable, it[k].display, it[k].lastTimestamp),
                  std::make_tuple(kEdits, static_cast<int>(k + 6), static_cast<int>(k + 1), true, true, now())) << k;
        EXPECT_TRUE(reg->is_device_online(static_cast<unsigned>(k + 6))) << k;
    }
}
