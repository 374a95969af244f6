// The recipe store: change flags, start-up load (template, missing, empty, backup, corrupt,
// cut-off, oversized, unreadable), migration, import, concurrent saves, the setters.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/command_runner.h"
#include "platform/paths.h"
#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "utils/utility.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using orvane::platform::CommandRunner;
using orvane::platform::Paths;
using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        roots = std::make_unique<orvane::test::ScopedRoots>(tmp.path());
        // "mv a b" is carried out for real inside the temporary tree; everything is recorded.
        runner.setScript([](const RecordingCommandRunner::Call& call) {
            RecordingCommandRunner::Result r;
            if (call.kind == RecordingCommandRunner::Call::Kind::Shell && call.line.rfind("mv ", 0) == 0) {
                auto sp = call.line.find(' ', 3);
                std::error_code ec;
                fs::rename(call.line.substr(3, sp - 3), call.line.substr(sp + 1), ec);
                r.status = ec ? 1 : 0;
            }
            return r;
        });
        CommandRunner::setForTest(&runner);
        guard = std::make_unique<RecipeDataGuard>();
    }
    void TearDown() override {
        guard.reset();
        CommandRunner::setForTest(nullptr);
        roots.reset();
    }

    std::string config() const { return recipeConfigFile(); }
    static nlohmann::json parseFile(const std::string& path) { return nlohmann::json::parse(readFile(path)); }
    static std::string documentOf(const ScadaRecipeData& r) {
        std::string buf(1048576, '\0');
        gIndentLevelForWriteJsonP = 0;
        int n = writeJsonP(r, buf.data(), 1048574, nullptr);
        buf.resize(static_cast<size_t>(n));
        return buf;
    }

    orvane::test::TempDir tmp{"recipe-store"};
    std::unique_ptr<orvane::test::ScopedRoots> roots;
    RecordingCommandRunner runner;
    std::unique_ptr<RecipeDataGuard> guard;
};

}  // namespace

TEST_F(StoreTest, ChangeFlags) {
    EXPECT_FALSE(guard->checkAndConsume(SCADA_MASK_SAVE));
    EXPECT_FALSE(guard->checkAndConsume(SCADA_MASK_RESTART));
    EXPECT_FALSE(guard->checkAndConsume(SCADA_MASK_REBOOT));
    EXPECT_TRUE(guard->checkAndConsume(SCADA_MASK_PROBE));
    EXPECT_FALSE(guard->checkAndConsume(SCADA_MASK_PROBE));
    EXPECT_EQ(guard->changeWordForTest(), 0x3fff7fffu & ~0x2u);

    // The cloud-link server's three bits together: one set bit is enough, and it is cleared.
    EXPECT_TRUE(guard->checkAndConsume(SCADA_MASK_CLOUD_RELOAD));
    EXPECT_FALSE(guard->checkAndConsume(SCADA_MASK_CLOUD_RELOAD));
    guard->triggerReload(0x80);
    EXPECT_TRUE(guard->checkAndConsume(0x40 | 0x80 | 0x200));
    EXPECT_EQ(guard->changeWordForTest() & 0x2c0u, 0u);
    guard->init();
    EXPECT_EQ(guard->changeWordForTest(), 0x3fff7fffu);

    // triggerReload renumbers and restores the software version, then runs the hook unlocked.
    {
        std::lock_guard lk(guard->mutex);
        for (int i = 0; i < 3; ++i) guard->recipe.sensors[i].id = 7;
        guard->recipe.system.swVer = "0.0";
    }
    std::atomic<bool> hookCouldLock{false};
    RecipeHooks hooks;
    hooks.afterReload = [&] {
        std::unique_lock lk(guard->mutex, std::try_to_lock);
        hookCouldLock = lk.owns_lock();
    };
    guard->setHooks(hooks);
    guard->triggerReload(SCADA_MASK_MBTCP_CLIENT);
    EXPECT_TRUE(hookCouldLock);
    EXPECT_EQ(guard->recipe.sensors[0].id, 1);
    EXPECT_EQ(guard->recipe.sensors[2].id, 3);
    EXPECT_EQ(guard->recipe.system.swVer, "1.2.2922(20260907)");
}

TEST_F(StoreTest, MissingFileIsCreatedAndTemplateWritten) {
    guard->loadWithMigration(config());
    ASSERT_TRUE(fs::exists(config()));
    ASSERT_TRUE(fs::exists(recipeTemplateFile()));
    nlohmann::json doc = parseFile(config());
    EXPECT_EQ(doc.size(), 24u);
    EXPECT_EQ(doc["sensors"][0]["id"], 1);
    EXPECT_EQ(readFile(recipeTemplateFile()), readFile(config()));
    EXPECT_EQ(guard->recipe.ai[3].reg, 48007);
    EXPECT_EQ(guard->recipe.modbusRtu.interface, "/dev/ttymxc3");
}

TEST_F(StoreTest, SerialPortChoice) {
    writeFile(tmp.path() + "/sys-root/dev/ttyACM1", "");
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.modbusRtu.interface, "/dev/ttyACM1");
    writeFile(tmp.path() + "/sys-root/dev/ttymxc3", "");
    fs::remove(config());  // the file's own choice would be read over the start-up choice
    auto other = std::make_unique<RecipeDataGuard>();
    other->loadWithMigration(config());
    EXPECT_EQ(other->recipe.modbusRtu.interface, "/dev/ttymxc3");
}

TEST_F(StoreTest, EmptyFileIsRestoredFromBackup) {
    writeFile(config(), "");
    writeFile(recipeBackupFile(), "{\"system\":{\"name\":\"FromBackup\"}}");
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.system.name, "FromBackup");
    auto lines = runner.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "mv " + recipeBackupFile() + " " + config());
    EXPECT_FALSE(fs::exists(recipeBackupFile()));
    EXPECT_GE(runner.syncCount(), 1);
}

TEST_F(StoreTest, EmptyFileWithoutBackupIsRewritten) {
    writeFile(config(), "");
    guard->loadWithMigration(config());
    nlohmann::json doc = parseFile(config());  // the other programs can parse it again
    EXPECT_EQ(doc["system"]["model"], "RB-820");
    EXPECT_TRUE(runner.lines().empty());
}

TEST_F(StoreTest, EmptyFileWithAnEmptyBackupIsRewritten) {
    writeFile(config(), "");
    writeFile(recipeBackupFile(), "");
    guard->loadWithMigration(config());
    ASSERT_EQ(runner.lines().size(), 1u);  // the backup was moved over it
    EXPECT_FALSE(fs::exists(recipeBackupFile()));
    nlohmann::json doc = parseFile(config());  // but an empty backup is no configuration
    EXPECT_EQ(doc["system"]["model"], "RB-820");
    EXPECT_EQ(doc.size(), 24u);
}

TEST_F(StoreTest, ImportOfAnEmptyUploadLeavesTheBackupAlone) {
    guard->loadWithMigration(config());
    writeFile(recipeBackupFile(), "{\"system\":{\"name\":\"Backup\"}}");
    const std::string upload = tmp.file("upload.json");
    writeFile(upload, "");
    {
        std::lock_guard lk(guard->mutex);
        guard->recipe.wan.ipaddr = "10.1.1.1";
    }
    guard->importRecipe(upload);
    EXPECT_TRUE(fs::exists(recipeBackupFile()));
    EXPECT_TRUE(runner.lines().empty());
    EXPECT_EQ(guard->recipe.wan.ipaddr, "10.1.1.1");
    EXPECT_EQ(parseFile(config())["wan"]["ipaddr"], "10.1.1.1");
}

TEST_F(StoreTest, MigrationFillsDefaultsAndForcesAnalogRegisters) {
    writeFile(config(), "{\"system\":{\"name\":\"Pump\"},\"ai\":[{\"reg\":100},{\"reg\":100}]}");
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.system.name, "Pump");
    EXPECT_EQ(guard->recipe.system.lang, "En");
    EXPECT_EQ(guard->recipe.lora.FREQ, 903000000);
    EXPECT_EQ(guard->recipe.ai[0].reg, 48001);
    EXPECT_EQ(guard->recipe.ai[1].reg, 48003);
    // The file itself is left as it was until the next save.
    EXPECT_EQ(readFile(config()), "{\"system\":{\"name\":\"Pump\"},\"ai\":[{\"reg\":100},{\"reg\":100}]}");
    ASSERT_TRUE(guard->saveToJson());
    nlohmann::json doc = parseFile(config());
    for (int k = 0; k < 8; ++k) EXPECT_EQ(doc["ai"][k]["reg"], 48001 + 2 * k);
    EXPECT_EQ(doc["system"]["name"], "Pump");
}

TEST_F(StoreTest, CorruptFileIsKeptAsideAndReplaced) {
    writeFile(config(), "this is not a configuration");
    guard->loadWithMigration(config());
    EXPECT_EQ(readFile(config() + ".bad"), "this is not a configuration");
    EXPECT_EQ(parseFile(config())["system"]["model"], "RB-820");
}

TEST_F(StoreTest, EveryDamagedFileIsKeptUpToTheBound) {
    // Each start with a damaged file keeps it under the next free name; the first copy stays.
    for (int n = 0; n < Utility::kBadCopies + 2; ++n) {
        writeFile(config(), "damaged " + std::to_string(n));
        guard->loadWithMigration(config());
    }
    EXPECT_EQ(readFile(config() + ".bad"), "damaged 0");
    for (int n = 1; n < Utility::kBadCopies - 1; ++n) EXPECT_EQ(readFile(config() + ".bad." + std::to_string(n)), "damaged " + std::to_string(n));
    // The last name takes the newest; no more copies than the bound.
    const std::string last = config() + ".bad." + std::to_string(Utility::kBadCopies - 1);
    EXPECT_EQ(readFile(last), "damaged " + std::to_string(Utility::kBadCopies + 1));
    EXPECT_FALSE(fs::exists(config() + ".bad." + std::to_string(Utility::kBadCopies)));
}

TEST_F(StoreTest, CutOffFileKeepsItsCompleteSections) {
    auto r = std::make_unique<ScadaRecipeData>();
    r->system.name = "Cut";
    r->lora.SF = 11;
    r->ai[0].custName = "Lost";
    const std::string full = documentOf(*r);
    const std::string cut = full.substr(0, full.find("\"MBTcpClient\"") + 5000);
    writeFile(config(), cut);
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.system.name, "Cut");
    EXPECT_EQ(guard->recipe.lora.SF, 11);
    EXPECT_EQ(guard->recipe.ai[0].custName, "");
    EXPECT_EQ(readFile(config() + ".bad"), cut);
    nlohmann::json doc = parseFile(config());
    EXPECT_EQ(doc["system"]["name"], "Cut");
    EXPECT_EQ(doc["lora"]["SF"], 11);
}

TEST_F(StoreTest, FileOfEarlierFirmwareWithUnescapedTextsLoadsWhole) {
    // Earlier firmware wrote texts as they were: "ab\cd" and a password ending in a backslash.
    auto r = std::make_unique<ScadaRecipeData>();
    r->system.name = "@NAME@";
    r->wifi.keyStation = "@KEY@";
    std::string text = documentOf(*r);
    text.replace(text.find("\"@NAME@\""), 8, "\"ab\\cd\"");
    text.replace(text.find("\"@KEY@\""), 7, "\"pw\\\"");
    writeFile(config(), text);
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.system.name, "ab\\cd");
    EXPECT_EQ(guard->recipe.wifi.keyStation, "pw\\");
    EXPECT_FALSE(fs::exists(config() + ".bad"));
    EXPECT_EQ(readFile(config()), text);  // not rewritten at start
    // The next save writes the texts escaped, and they read back the same.
    ASSERT_TRUE(guard->saveToJson());
    nlohmann::json doc = parseFile(config());
    EXPECT_EQ(doc["wifi"]["keyStation"], "pw\\");
    EXPECT_EQ(doc["system"]["name"], "ab\\cd");
}

TEST_F(StoreTest, FileOfOneMebibyteOrMoreIsStillRead) {
    auto r = std::make_unique<ScadaRecipeData>();
    r->system.name = "Big";
    r->mbTcpClient[7].outputs[127].vRegAddr = 4242;
    // Another program's rewrite with wider indentation.
    const std::string text = nlohmann::json::parse(documentOf(*r)).dump(8);
    ASSERT_GE(text.size(), 1048576u);
    writeFile(config(), text);
    guard->loadWithMigration(config());
    EXPECT_EQ(guard->recipe.system.name, "Big");
    EXPECT_EQ(guard->recipe.mbTcpClient[7].outputs[127].vRegAddr, 4242);
    EXPECT_EQ(readFile(config()), text);  // never replaced by defaults
    EXPECT_FALSE(fs::exists(config() + ".bad"));
}

TEST_F(StoreTest, UnreadableFileIsKeptAside) {
    fs::create_directories(config());  // a directory where the file should be
    writeFile(config() + "/inside", "x");
    writeFile(recipeBackupFile(), "{\"system\":{\"name\":\"Backup\"}}");
    guard->loadWithMigration(config());
    EXPECT_TRUE(runner.lines().empty());  // the backup is not moved into the directory
    EXPECT_TRUE(fs::exists(recipeBackupFile()));
    EXPECT_TRUE(fs::is_directory(config() + ".bad"));
    EXPECT_EQ(readFile(config() + ".bad/inside"), "x");
    EXPECT_EQ(parseFile(config())["system"]["model"], "RB-820");
}

TEST_F(StoreTest, ImportKeepsThisGatewaysSystemSection) {
    guard->loadWithMigration(config());
    {
        std::lock_guard lk(guard->mutex);
        guard->recipe.system.sn = "2450123";
        guard->recipe.system.model = "RB-821";
        guard->recipe.system.guardPort = 8080;
        guard->recipe.lan.ipaddr = "192.168.5.1";
    }
    ASSERT_TRUE(guard->saveToJson());
    const std::string before = readFile(config());
    const std::string upload = tmp.file("other-gateway.json");
    writeFile(upload, "{\"system\":{\"sn\":\"9999999\",\"model\":\"RB-825\",\"guardPort\":81,\"name\":\"Other\"},"
                      "\"lora\":{\"SF\":7},\"sensors\":[{\"pn\":5,\"enable\":true}]}");
    guard->importRecipe(upload);
    EXPECT_EQ(guard->recipe.system.sn, "2450123");
    EXPECT_EQ(guard->recipe.system.model, "RB-821");
    EXPECT_EQ(guard->recipe.system.guardPort, 8080);
    EXPECT_EQ(guard->recipe.system.name, "Orvane");
    EXPECT_EQ(guard->recipe.lora.SF, 7);
    EXPECT_EQ(guard->recipe.sensors[0].pn, 5u);
    EXPECT_EQ(guard->recipe.lan.ipaddr, "192.168.5.1");  // absent from the upload: kept
    nlohmann::json doc = parseFile(config());
    EXPECT_EQ(doc["lora"]["SF"], 7);
    EXPECT_EQ(doc["system"]["sn"], "2450123");
    // template.json holds the configuration in force before the import.
    EXPECT_EQ(parseFile(recipeTemplateFile()), nlohmann::json::parse(before));
}

TEST_F(StoreTest, ConcurrentSavesImportsAndEditsNeverTearTheFile) {
    guard->loadWithMigration(config());
    const std::string upload = tmp.file("upload.json");
    writeFile(upload, "{\"lora\":{\"SF\":8}}");
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            std::string text = readFile(config());
            ++reads;
            if (!nlohmann::json::accept(text)) ++badReads;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < 6; ++i) EXPECT_TRUE(guard->saveToJson());
        });
    writers.emplace_back([&] {
        for (int i = 0; i < 3; ++i) guard->importRecipe(upload);
    });
    writers.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            {
                std::lock_guard lk(guard->mutex);
                guard->recipe.sensors[i % 128].custName = (i % 2) ? "Tank}" : "Inlet\"A";
            }
            guard->triggerReload(SCADA_MASK_PROBE);
        }
    });
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(badReads.load(), 0);
    ASSERT_TRUE(guard->saveToJson());
    auto back = std::make_unique<ScadaRecipeData>();
    readJsonP(*back, readFile(config()));
    std::lock_guard lk(guard->mutex);
    EXPECT_TRUE(sameStoredRecipe(*back, guard->recipe));
}

TEST_F(StoreTest, SaveThatDoesNotFitStoresNothing) {
    guard->loadWithMigration(config());
    const std::string before = readFile(config());
    {
        std::lock_guard lk(guard->mutex);
        // Texts of control characters take six characters each once escaped.
        const std::string ctl32(32, '\x01');
        const std::string ctl16(16, '\x01');
        for (auto& c : guard->recipe.mbTcpClient) {
            for (auto& in : c.inputs) {
                in.custName = ctl32.c_str();
                in.tagName = ctl32.c_str();
                in.regName = ctl16.c_str();
                in.unit = ctl16.c_str();
                in.dataType = ctl16.c_str();
            }
            for (auto& out : c.outputs) {
                out.outputName = ctl32.c_str();
                out.virtualName = ctl16.c_str();
                out.dataType = ctl16.c_str();
            }
        }
    }
    EXPECT_FALSE(guard->saveToJson());
    EXPECT_EQ(readFile(config()), before);
}

TEST_F(StoreTest, ClientSetters) {
    // JSON form: "enable" false first resets the item to the default input item.
    {
        std::lock_guard lk(guard->mutex);
        auto& in = guard->recipe.mbTcpClient[2].inputs[5];
        in.custName = "Edited";
        in.regNum = 9;
        in.enable = true;
    }
    guard->set_MBTcpClient_input(std::string("{\"regAddr\":10}"), 2, 5);
    EXPECT_EQ(guard->recipe.mbTcpClient[2].inputs[5].regAddr, 10);
    EXPECT_EQ(guard->recipe.mbTcpClient[2].inputs[5].custName, "Edited");
    guard->set_MBTcpClient_input(std::string("{\"enable\":false,\"regAddr\":10}"), 2, 5);
    const auto& in = guard->recipe.mbTcpClient[2].inputs[5];
    EXPECT_EQ(in.regAddr, 10);
    EXPECT_FALSE(in.enable);
    EXPECT_EQ(in.custName, "CCond");
    EXPECT_EQ(in.regNum, 1);
    guard->set_MBTcpClient_output(std::string("{\"enable\":true,\"vRegAddr\":77}"), 7, 127);
    EXPECT_EQ(guard->recipe.mbTcpClient[7].outputs[127].vRegAddr, 77);
    guard->set_MBTcpClient_output(std::string("{\"vRegAddr\":1}"), 8, 0);   // out of range: nothing
    guard->set_MBTcpClient_output(std::string("{\"vRegAddr\":1}"), 0, 128);  // out of range: nothing
    EXPECT_EQ(guard->recipe.mbTcpClient[0].outputs[127].vRegAddr, 5761);

    // The base form keeps the lists; the whole form replaces them.
    MBTcpClientItemBase base;
    base.name = "Chiller";
    guard->set_MBTcpClient(base, 2);
    EXPECT_EQ(guard->recipe.mbTcpClient[2].name, "Chiller");
    EXPECT_EQ(guard->recipe.mbTcpClient[2].inputs[5].regAddr, 10);
    auto whole = std::make_unique<MBTcpClientItem>();
    guard->set_MBTcpClient(*whole, 2);
    EXPECT_EQ(guard->recipe.mbTcpClient[2].inputs[5].regAddr, -1);
    guard->set_MBTcpClient(*whole, -1);
}

TEST_F(StoreTest, AddControllerOutput) {
    RecipeHooks hooks;
    hooks.findRegByGroupIndex = [](int group, int index) {
        if (group == kRegGroupProbeVal && index < 100) return 2001 + 2 * index;
        if (group == kRegGroupLoraVal) return 5001 + 2 * index;
        if (group == kRegGroupAiVal) return 3001 + 2 * index;
        return -1;
    };
    guard->setHooks(hooks);
    {
        std::lock_guard lk(guard->mutex);
        guard->recipe.sensors[4].name = "pH";
        guard->recipe.sensors[5].name = "ORP";
        guard->recipe.sensors[5].custName = "Basin ORP";
        guard->recipe.loraDevice[1].pn = 4001;
        guard->recipe.loraDevice[1].sn = 123456;
        guard->recipe.loraDevice[1].registers[2].name = "Level";
        guard->recipe.ai[0].name = "AI1";
    }
    guard->addControllerOutput({1, 9, 1, 4, 0});
    const auto& o = guard->recipe.mbTcpClient[1].outputs[9];
    EXPECT_EQ(o.id, 10);
    EXPECT_TRUE(o.enable);
    EXPECT_EQ(o.virtualName, "V10");
    EXPECT_EQ(o.outputName, "pH");
    EXPECT_EQ(o.outputAddr, 2009);
    EXPECT_EQ(o.vRegAddr, 5761);  // the remote register is the user's
    guard->addControllerOutput({1, 10, 1, 5, 0});
    EXPECT_EQ(guard->recipe.mbTcpClient[1].outputs[10].outputName, "Basin ORP");
    guard->addControllerOutput({0, 0, 2, 1, 2});
    EXPECT_EQ(guard->recipe.mbTcpClient[0].outputs[0].outputName, "4001#123456_Level");
    EXPECT_EQ(guard->recipe.mbTcpClient[0].outputs[0].outputAddr, 5001 + 2 * 10);
    guard->addControllerOutput({0, 1, 3, 0, 0});
    EXPECT_EQ(guard->recipe.mbTcpClient[0].outputs[1].outputName, "AI1");
    // A value the register table lacks, bad indexes, an unknown kind: nothing changes.
    guard->addControllerOutput({3, 3, 1, 120, 0});
    guard->addControllerOutput({8, 3, 1, 1, 0});
    guard->addControllerOutput({3, 128, 1, 1, 0});
    guard->addControllerOutput({3, 3, 2, 16, 0});
    guard->addControllerOutput({3, 3, 4, 1, 0});
    EXPECT_FALSE(guard->recipe.mbTcpClient[3].outputs[3].enable);
    EXPECT_EQ(guard->recipe.mbTcpClient[3].outputs[3].outputAddr, -1);
}

TEST_F(StoreTest, ProbeOperations) {
    {
        std::lock_guard lk(guard->mutex);
        guard->recipe.sensors[0].measureType = 2;
        guard->recipe.sensors[1].measureType = 8;
        guard->recipe.sensors[2].measureType = 27;
        guard->recipe.sensors[3].modbusAddr = 5;
        guard->recipe.sensors[3].pn = 777;
        guard->recipe.sensors[4].modbusAddr = 5;
        guard->recipe.sensors[4].pn = 778;
        guard->recipe.sensors[3].name = "Cond";
        guard->recipe.sensors[3].custName = "Tank A";
        guard->recipe.sensors[4].name = "Temp";
    }
    EXPECT_EQ(guard->getHmiCalibCmd(0, 5), 2);
    EXPECT_EQ(guard->getHmiCalibCmd(0, 13), 13);
    EXPECT_EQ(guard->getHmiCalibCmd(1, 1), -1);
    EXPECT_EQ(guard->getHmiCalibCmd(1, 2), 0);
    EXPECT_EQ(guard->getHmiCalibCmd(2, 2), 1);
    EXPECT_EQ(guard->getHmiCalibCmd(128, 1), -1);

    auto names = guard->getProbesName();
    EXPECT_EQ(names[3], "Tank A");
    EXPECT_EQ(names[4], "Temp");

    guard->checkAndConsume(SCADA_MASK_PROBE);
    struct Pack {
        int32_t newAddr = 9;
        int32_t curAddr = 5;
        uint32_t reserved = 777;
    } pack;
    guard->updateProbeConfig(pack);
    EXPECT_EQ(guard->recipe.sensors[3].modbusAddr, 9);
    EXPECT_EQ(guard->recipe.sensors[4].modbusAddr, 5);
    EXPECT_TRUE(guard->checkAndConsume(SCADA_MASK_PROBE));
    EXPECT_EQ(parseFile(config())["sensors"][3]["modbusAddr"], 9);

    int bound = 0;
    RecipeHooks hooks;
    hooks.bindProbes = [&](std::array<ProbeMeasureRecipeItem, 128>& items) {
        std::unique_lock lk(guard->mutex, std::try_to_lock);
        EXPECT_FALSE(lk.owns_lock());  // called under the recipe mutex
        bound = static_cast<int>(items.size());
    };
    guard->setHooks(hooks);
    guard->buildReferenceForSensor();
    EXPECT_EQ(bound, 128);

    EXPECT_TRUE(guard->isRecipeReg(reinterpret_cast<const char*>(&guard->recipe.ai[7].display)));
    EXPECT_TRUE(guard->isRecipeReg(reinterpret_cast<const char*>(&guard->recipe)));
    EXPECT_FALSE(guard->isRecipeReg(reinterpret_cast<const char*>(&guard->recipe) + sizeof(ScadaRecipeData)));
    int local = 0;
    EXPECT_FALSE(guard->isRecipeReg(reinterpret_cast<const char*>(&local)));

    guard->recipe.sensors[1].displayId = 40;
    guard->recipe.resetDisplayId(false);
    EXPECT_EQ(guard->recipe.sensors[0].displayId, 1);
    EXPECT_EQ(guard->recipe.sensors[1].displayId, 40);
    EXPECT_EQ(guard->recipe.loraDevice[15].displayId, 16);
    guard->recipe.resetDisplayId(true);
    EXPECT_EQ(guard->recipe.sensors[1].displayId, 2);
}

TEST_F(StoreTest, UnboundProbeItemsPointAtTheSharedEmptyDefinition) {
    static const int placeholder = 0;  // stands in for the sensors code's empty definition
    const ProbeMeta* none = reinterpret_cast<const ProbeMeta*>(&placeholder);
    const ProbeMeta* saved = ProbeMeasureRecipeItem::noneObject();
    ProbeMeasureRecipeItem::setNoneObject(nullptr);
    auto early = std::make_unique<RecipeDataGuard>();  // built before the registration
    ProbeMeasureRecipeItem::setNoneObject(none);
    EXPECT_EQ(ProbeMeasureRecipeItem().probeMeta, none);
    EXPECT_EQ(early->recipe.sensors[0].probeMeta, nullptr);
    early->buildReferenceForSensor();
    for (const auto& item : early->recipe.sensors) ASSERT_EQ(item.probeMeta, none);
    ProbeMeasureRecipeItem item;
    EXPECT_EQ(item.readingIndex, -1);
    EXPECT_EQ(item.failureCount, 0);
    EXPECT_EQ(item.brushAddr, -1);
    EXPECT_TRUE(item.runtimeText.empty());
    ProbeMeasureRecipeItem::setNoneObject(saved);
}

// A save writes only text the file does not hold: none after the start-up load, one once the file was replaced.
TEST_F(StoreTest, SaveWritesOnlyWhatTheFileDoesNotHold) {
    const std::string cfg = config();
    for (bool replaced : {false, true}) {
        fs::remove(cfg);
        guard = std::make_unique<RecipeDataGuard>();
        guard->loadWithMigration(cfg);  // creates the file, then reads it
        if (replaced) writeFile(cfg + ".new", readFile(cfg)), fs::rename(cfg + ".new", cfg);
        const int syncs = runner.syncCount();
        ASSERT_TRUE(guard->saveToJson());
        EXPECT_EQ(runner.syncCount() != syncs, replaced) << replaced;
        std::lock_guard lk(guard->mutex);
        EXPECT_EQ(readFile(cfg), documentOf(guard->recipe));
    }
}
