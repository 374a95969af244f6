// Probe library: loading from definition directories, user definitions, binding of recipe items,
// measure and probe types, the web view.
#include <filesystem>

#include "platform/paths.h"
#include "recipe/recipe_data.h"
#include "sensor_test_util.h"
#include "sensors/probe_library.h"

namespace {

using orvane::test::TempDir;
using orvane::test::writeFile;

std::string def(int64_t pn, const std::string& model, const std::string& extra = "") {
    return "{\"PN\": " + std::to_string(pn) + ", \"ModelName\": \"" + model + "\"" + extra + "}";
}

struct Library {
    fss::stringHuge buffer;
    ProbeLibrary lib;
};

TEST(ProbeLibraryLoad, NoDefinitionFilesAnywhere) {
    TempDir a, b;
    auto l = std::make_unique<Library>();
    l->lib[3].PN = 99;
    sensors_test::LogCapture log;
    EXPECT_EQ(loadProbeLibrary(l->buffer, l->lib, {a.path(), b.path() + "/missing"}), 0);
    EXPECT_EQ(log.count("cannot find jsons in  config/probes/"), 1u);
    for (const ProbeMeta& m : l->lib) {
        EXPECT_EQ(m.PN, 0);
        EXPECT_TRUE(m.Readings.empty());
        EXPECT_EQ(m.Brushing.RegLen, 1);
    }
}

TEST(ProbeLibraryLoad, SortedOrderCapacityAndLogLines) {
    TempDir dir;
    for (int i = 0; i < 130; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%03d.json", 129 - i);  // written in reverse order
        writeFile(dir.file(name), def(1000 + (129 - i), "M", R"(, "Span4_20mA": [{"Name": "pH", "__4mA": {"Cmds": [{}]}}])"));
    }
    writeFile(dir.file("notes.txt"), def(5, "X"));
    std::filesystem::create_directory(dir.file("sub.json"));
    auto l = std::make_unique<Library>();
    sensors_test::LogCapture log;
    EXPECT_EQ(loadProbeLibrary(l->buffer, l->lib, {dir.path()}), 128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(l->lib[static_cast<size_t>(i)].PN, 1000 + i);
    EXPECT_EQ(log.count(", ModelName = M"), 130u);
    EXPECT_EQ(log.count("dropped: the probe library is full"), 2u);
    EXPECT_EQ(log.count(" Span4_20mA = pH, 4mA.Cmds.size = 1, 20mA.Cmds.size = 0"), 130u);
    EXPECT_EQ(log.count(" probes size = 128"), 1u);
    EXPECT_NE(log.text().find("p000.json PN=1000, ModelName = M"), std::string::npos);
}

TEST(ProbeLibraryLoad, UserDefinitionOverridesBuiltInInEitherOrder) {
    TempDir builtIn, user;
    writeFile(builtIn.file("a_ph.json"), def(50210, "BUILTIN"));
    writeFile(builtIn.file("b_cond.json"), def(50320, "COND"));
    writeFile(builtIn.file("c_same.json"), def(50320, "COND2"));  // plain duplicate: kept, second
    writeFile(user.file("50210.json"), def(50210, "USER"));
    writeFile(builtIn.file("50320.json"), def(50320, "USERCOND"));  // sorts before the built-ins
    writeFile(builtIn.file("broken.json"), "{\"PN\": ");
    auto l = std::make_unique<Library>();
    int n = loadProbeLibrary(l->buffer, l->lib, {builtIn.path(), user.path()});
    // "50320.json" first (user), then a_ph (built-in 50210), b_cond and c_same dropped as
    // replaced by the user definition, broken.json (part number 0), then the user 50210 replaces a_ph.
    ASSERT_EQ(n, 3);
    EXPECT_EQ(l->lib[0].ModelName, "USERCOND");
    EXPECT_EQ(l->lib[1].ModelName, "USER");
    EXPECT_EQ(l->lib[1].PN, 50210);
    EXPECT_EQ(l->lib[2].PN, 0);
    EXPECT_EQ(l->lib[3].PN, 0);
}

TEST(ProbeLibraryLoad, DefaultDirectoriesReadTheInstallRootWhereUserDefinitionsAreStored) {
    TempDir root;
    orvane::platform::Roots roots;
    roots.install = root.path() + "/";
    orvane::platform::Paths::setForTest(roots);
    writeFile(root.file("config/probes/1000001.json"), def(1000001, "CUSTOM"));
    auto dirs = defaultProbeDirectories();
    ASSERT_EQ(dirs.back(), root.path() + "/config/probes/");
    auto l = std::make_unique<Library>();
    EXPECT_GE(loadProbeLibrary(l->buffer, l->lib), 1);
    bool found = false;
    for (const auto& m : l->lib) found = found || m.PN == 1000001;
    EXPECT_TRUE(found);
    orvane::platform::Paths::resetForTest();
}

TEST(ProbeLibraryBind, ItemsBindToTheFirstDefinitionWithTheirPartNumber) {
    auto l = std::make_unique<Library>();
    l->lib[0] = *sensors_test::parseMeta(def(42, "A", R"(, "Readings": [{"Name": "pH"}, {"Name": "Oddity"}, {"Name": "pH"}])"));
    l->lib[1] = *sensors_test::parseMeta(def(42, "B"));
    l->lib[2] = *sensors_test::parseMeta(def(3000000000LL, "BIG", R"(, "Readings": [{"Name": "Temperature"}])"));
    auto items = std::make_unique<std::array<ProbeMeasureRecipeItem, 128>>();
    auto& it = *items;
    it[0].pn = 42; it[0].modbusAddr = 10; it[0].name = "pH";
    it[1].pn = 42; it[1].modbusAddr = 10; it[1].name = "Oddity";
    it[2].pn = 42; it[2].modbusAddr = 10; it[2].name = "Nothing"; it[2].readingIndex = 7; it[2].measureType = 9;
    it[3].pn = 0; it[3].modbusAddr = 10; it[3].name = "pH";
    it[4].pn = 42; it[4].modbusAddr = -1; it[4].name = "pH";
    it[5].pn = 77; it[5].modbusAddr = 3; it[5].name = "pH";
    it[6].pn = 3000000000u; it[6].modbusAddr = 3; it[6].name = "Temperature";
    it[7].pn = 42; it[7].modbusAddr = 0; it[7].name = "NONE-probe";
    it[8].probeMeta = nullptr;
    initProbeRecipe(it, l->lib);
    EXPECT_EQ(it[0].probeMeta, &l->lib[0]);
    EXPECT_EQ(it[0].readingIndex, 2);  // the last reading of that name wins
    EXPECT_EQ(it[0].measureType, static_cast<int32_t>(MEASURE_TYPE::pH));
    EXPECT_EQ(it[1].measureType, 43);  // no measure-type row
    EXPECT_EQ(it[2].probeMeta, &l->lib[0]);
    EXPECT_EQ(it[2].readingIndex, 7);  // bound, but keeps index and type
    EXPECT_EQ(it[2].measureType, 9);
    EXPECT_EQ(it[3].probeMeta, &probeMetaNone());
    EXPECT_EQ(it[4].probeMeta, &probeMetaNone());
    EXPECT_EQ(it[5].probeMeta, &probeMetaNone());
    EXPECT_EQ(it[6].probeMeta, &l->lib[2]);  // 32-bit part number widened without sign
    EXPECT_EQ(it[6].measureType, static_cast<int32_t>(MEASURE_TYPE::Temperature));
    EXPECT_EQ(it[7].probeType, 0);
    EXPECT_EQ(it[8].probeMeta, &probeMetaNone());  // never left null

    std::array<const ProbeMeta*, 128> ptrs{};
    ptrs[5] = &l->lib[1];
    it[0].probeMeta = &probeMetaNone();
    initProbeRecipe(it, ptrs);
    EXPECT_EQ(it[0].probeMeta, &l->lib[1]);
}

TEST(ProbeTypes, MeasureAndProbeTypeLookups) {
    auto table = measureTypeTable();
    ASSERT_EQ(table.size(), 42u);
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(static_cast<size_t>(table[i].type), i + 1);
        EXPECT_FALSE(measureTypeName(static_cast<int32_t>(i + 1)).empty());
        EXPECT_EQ(findMeasureType(table[i].name), table[i].type);
    }
    EXPECT_EQ(measureTypeName(43), "CUSTOM");
    EXPECT_EQ(findMeasureType("Cl-F"), MEASURE_TYPE::Cl_F);
    EXPECT_EQ(findMeasureType("Cl_F"), MEASURE_TYPE::NONE);
    EXPECT_EQ(findMeasureType("ph"), MEASURE_TYPE::NONE);
    for (int32_t v = 0; v <= kProbeTypeModels + 1; ++v) EXPECT_FALSE(probeTypeName(v).empty()) << v;
    EXPECT_EQ(findProbeType("NONE-whatever"), 0);
    EXPECT_EQ(findProbeType("MODEL-07 rev B"), 7);
    EXPECT_EQ(findProbeType("MODEL-5"), 0);
    EXPECT_EQ(findProbeType("MAX"), 0);
}

TEST(ProbeWebView, BuiltFromTheDefinition) {
    auto m = sensors_test::parseMeta(R"({"PN": 9, "ModelName": "TBX-100", "ModbusAddr": 30,
      "Readings": [{"Name": "Turbidity_with_long_name", "custName": "T", "RegAddress": 40001, "RegType": "float", "Unit": "NTU", "Decimal": 2,
                    "Calibrations": [{"Name": "Zero point calibration step", "Message": "m",
                                      "Cmds": [{"Editable": true, "SetValueMax": 4000, "SetValueMin": 1}]},
                                     {"Name": "Slope"}]},
                   {"Name": "Temperature"}],
      "Span4_20mA": [{"Name": "Turbidity_with_long_name_2", "__4mA": {"Editable": true}, "__20mA": {"Editable": false}},
                     {"Name": "Turbidity_with_lo", "__4mA": {"Editable": false}, "__20mA": {"Editable": true}}],
      "Config": [{"Name": "Modbus Address", "Tip": "1-247", "Editable": true}],
      "Brushing": {"modbusID": 31, "Cmds": [{"Name": "start"}, {"Name": "stop"}]}})");
    ProbeInfoToWeb w(*m);
    EXPECT_EQ(w.modelName, "TBX-100");
    EXPECT_EQ(w.modbusAddr, 30);
    EXPECT_EQ(w.brushAddr, 31);
    EXPECT_EQ(w.PN, 9);
    EXPECT_FALSE(w.supportRestore);
    ASSERT_EQ(w.sensors.size(), 2u);
    const auto& s = w.sensors[0];
    EXPECT_EQ(s.name, "Turbidity_with_l");  // cut to 16
    EXPECT_EQ(s.regAddr, 40001);
    ASSERT_EQ(s.calbs.size(), 2u);
    EXPECT_EQ(s.calbs[0].name, "Zero point calib");
    EXPECT_TRUE(s.calbs[0].editable);
    EXPECT_FLOAT_EQ(s.calbs[0].max, 4000.0f);
    EXPECT_EQ(s.calbs[1].calIndex, 1);
    EXPECT_FALSE(s.calbs[1].editable);
    // Both span entries start with the cut name (over its 16 characters): the last one wins.
    EXPECT_FALSE(s.Editable4mA);
    EXPECT_TRUE(s.Editable20mA);
    EXPECT_FLOAT_EQ(s.rangeMax, 100.0f);
    EXPECT_FALSE(w.sensors[1].Editable4mA);
    ASSERT_EQ(w.configs.size(), 1u);
    EXPECT_TRUE(w.configs[0].Editable);
    ASSERT_EQ(w.brush.size(), 2u);
    EXPECT_EQ(w.brush[1], "stop");
    EXPECT_TRUE(ProbeInfoToWeb(*sensors_test::distMeta("ph_probe_phx200.json")).supportRestore);
}

}  // namespace
