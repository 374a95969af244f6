// The probe library of the operational state: definition files written by the tests, lookups,
// user definitions (assignment, merge, write -> read round trip), the web text and the
// calibration-index lookup.
#include <algorithm>
#include <filesystem>

#include "env/probe_def_writer.h"
#include "env_fixture.h"
#include "recipe/recipe_data.h"
#include "sensors/probe_library.h"
#include "sensors/probe_meta.h"

namespace {

// A conductivity probe with two readings, calibrations, a span and a restore command.
const char* kConductivityDef = R"({
  "PN": 50661, "DataFmt": "ABCD", "ModelType": "COND", "ModelName": "ProbeC",
  "ModelDescription": "Conductivity", "ModbusAddr": 10,
  "Readings": [
    {"Name": "Conductivity", "Unit": "mS/cm", "DisplayUnit": "mS", "RegAddress": 1, "RegType": "float",
     "Decimal": 2,
     "Calibrations": [
       {"Name": "zero_title", "Message": "Dry probe", "Cmds": [{"RegAddress": 40, "RegType": "ushort",
         "SetValue": 1, "SetValueMax": 5, "SetValueMin": 0}]},
       {"Name": "Conductivity Calibration", "Message": "Solution",
         "Cmds": [{"RegAddress": 41, "RegType": "float", "Editable": true}]}]},
    {"Name": "Temperature", "Unit": "C", "RegAddress": 3, "RegType": "float", "Decimal": 1}],
  "Span4_20mA": [{"Name": "Conductivity", "RegAddress": 60,
    "__4mA": {"Name": "4 mA", "Editable": true, "Placeholder": 0},
    "__20mA": {"Name": "20 mA", "Editable": false, "Placeholder": 100}}],
  "RestoreFactory": {"Name": "Restore", "Message": "Sure?", "Cmds": [{"RegAddress": 90, "RegType": "ushort",
    "RegLen": 1, "SetValue": 7, "Results": [{"RegValue": 1, "ResultMessage": "done"}]}]}
})";

const char* kPhDef = R"({"PN": 4444, "ModelName": "Alpha", "ModelType": "PH", "ModbusAddr": 20,
  "Readings": [{"Name": "pH", "Unit": "pH", "RegAddress": 1, "RegType": "float",
    "Calibrations": [{"Name": "pH 7 Calibration"}, {"Name": "ACID calibration"}]}]})";

// Every section of the format, for the write -> read round trip.
const char* kFullDef = R"({
  "PN": 1234567, "DataFmt": "BADC", "ModelType": "FULL", "ModelName": "Full", "ModelDescription": "All of it",
  "ModbusAddr": 33,
  "Info": [{"Name": "sn", "RegAddress": 100, "RegType": "uint", "RegLen": 2}, {"Name": "fw"}],
  "Config": [{"Name": "avg", "SettingsType": "num", "Editable": true, "Tip": "samples",
    "Cmds": [{"RegAddress": 200, "RegType": "ushort", "RegLen": 1, "Editable": true, "SetValue": 3}, {}]}],
  "Readings": [{"Name": "Turbidity", "custName": "Turb", "Unit": "NTU", "RegAddress": 5, "RegType": "float",
    "Decimal": 3, "Customized": true, "DisplayUnit": "ntu",
    "Calibrations": [{"Name": "Low Calibration", "Message": "Low point",
      "Cmds": [{"RegAddress": 300, "RegType": "float", "Editable": true, "SetValue": 9, "Waiting_mS": 2500,
        "ResultRegAddress": 301, "ResultRegType": "ushort",
        "Results": [{"RegValue": 0, "ResultMessage": "ok"}, {"RegValue": 2, "ResultMessage": "bad"}],
        "SetValueMax": 14.5, "SetValueMin": -1}], "SetValueMax": 99, "SetValueMin": 98}]}],
  "Diagnosis": [{"DisplayName": "Signal", "Name": "sig", "RegAddress": 400, "RegType": "float"}],
  "Span4_20mA": [{"Name": "Turbidity", "RegAddress": 500, "RegType": "FLOAT",
    "__4mA": {"Name": "low", "Editable": true, "Placeholder": 4,
      "Cmds": [{"RegAddress": 501, "RegType": "float", "SetValue": 1}]},
    "__20mA": {"Name": "high", "Editable": true, "Placeholder": 20}}],
  "Brushing": {"modbusID": 7, "RegAddress": 600, "RegType": "ushort", "RegLen": 1,
    "Cmds": [{"Name": "Brush", "SetValue": 1, "Waiting_mS": 3000, "Editable": false}]},
  "Control": [{"Name": "Pump", "Tip": "on/off", "Cmds": [{"RegAddress": 700, "RegType": "ushort", "RegLen": 1,
    "SetValue": 1}]}],
  "RestoreFactory": {"Name": "Reset", "Message": "Really?", "Cmds": [{"RegAddress": 800, "RegType": "ushort",
    "RegLen": 1, "Editable": false, "SetValue": 165, "Results": [{"ResultMessage": "done", "RegValue": 1}]}]},
  "CleanlinessCheck": {"Script": "clean.lua",
    "resultClean": {"minCleanliness": 80, "DiagMessage": "clean", "PleaseClean": false, "IsClean": true,
      "IsWarning": false},
    "resultBecomingFouled": {"minCleanliness": 60, "DiagMessage": "soon", "IsWarning": true},
    "resultFouled": {"minCleanliness": 0, "DiagMessage": "fouled", "PleaseClean": true}}
})";

std::unique_ptr<ProbeMeta> parse(std::string_view text) {
    auto meta = std::make_unique<ProbeMeta>();
    EXPECT_TRUE(readJson(text, *meta));
    return meta;
}

}  // namespace

class LibraryTest : public EnvTest {
protected:
    void writeDef(const std::string& name, const char* text) { orvane::test::writeFile(probeDir() + name, text); }
    void standardLibrary() {
        writeDef("cond.json", kConductivityDef);
        writeDef("ph.json", kPhDef);
    }
};

TEST_F(LibraryTest, LoadsDefinitionsAndLooksThemUp) {
    standardLibrary();
    auto env = makeEnv();
    auto cond = env->getProbeMetaByPN(50661);
    EXPECT_EQ(cond->ModelName.str(), "ProbeC");
    ASSERT_EQ(cond->Readings.size(), 2u);
    EXPECT_EQ(cond->Readings[0].Calibrations.size(), 2u);
    EXPECT_EQ(env->getProbeMetaByPN(4444)->ModbusAddr, 20);
    EXPECT_EQ(env->getProbeMetaByPN(777)->PN, 0);
    EXPECT_EQ(env->getProbeMetaByPN(0)->PN, 0);
    EXPECT_EQ(env->getSystemErrorCode() & SYS_ERR_PROBE_LIBRARY, 0);

    // The measure-type table the state keeps.
    ASSERT_EQ(env->measureTypes.size(), 42u);
    EXPECT_EQ(env->measureTypes[5].name.str(), "Cl-F");
    EXPECT_EQ(env->measureTypes[5].type, MEASURE_TYPE::Cl_F);
    EXPECT_EQ(env->measureTypes[41].name.str(), "mA");

    fss::stringHuge* text = new fss::stringHuge;
    EXPECT_FALSE(env->getCustomProbeMeta(50661, *text));  // built-ins are not stored per part number
    delete text;
}

TEST_F(LibraryTest, EmptyLibraryText) {
    auto env = makeEnv();
    EXPECT_EQ(env->getProbeLibraryJson(), "[\n]\n");
    EXPECT_NE(env->getSystemErrorCode() & SYS_ERR_PROBE_LIBRARY, 0);
}

TEST_F(LibraryTest, WebTextSortedByModelNameWithExactLayout) {
    writeDef("b.json", R"({"PN": 7, "ModelName": "Zed", "ModbusAddr": 3, "Brushing": {"modbusID": 4,
      "Cmds": [{"Name": "Wipe"}]}, "Config": [{"Name": "avg", "Tip": "n", "Editable": true}]})");
    writeDef("a.json", R"({"PN": 8, "ModelName": "Mid", "ModbusAddr": 5,
      "Readings": [{"Name": "pH", "Unit": "pH", "RegAddress": 2, "RegType": "float", "Decimal": 2,
        "Calibrations": [{"Name": "pH 7 Calibration", "Message": "m", "Cmds": [{"Editable": true,
          "SetValueMax": 8, "SetValueMin": 6.5}]}]}]})");
    writeDef("c.json", R"({"PN": 1000005, "ModelName": "Aaa", "ModelType": "Custom1", "ModbusAddr": 9})");
    auto env = makeEnv();
    const std::string expected =
        "[\n"
        "  {\n"
        "    \"modelName\":\"Custom1\",\n    \"modbusAddr\":9,\n    \"PN\":1000005,\n"
        "    \"sensors\":[\n]\n,\n    \"supportRestore\":false,\n    \"configs\":[\n]\n,\n"
        "    \"brushAddr\":0,\n    \"brush\":[\n]\n}"
        ",\n"
        "  {\n"
        "    \"modelName\":\"Mid\",\n    \"modbusAddr\":5,\n    \"PN\":8,\n"
        "    \"sensors\":[\n"
        "      {\n"
        "        \"name\":\"pH\",\n        \"custName\":\"\",\n        \"regAddr\":2,\n        \"regType\":\"float\",\n"
        "        \"unit\":\"pH\",\n        \"decimal\":2,\n"
        "        \"calbs\":[\n"
        "          {\n"
        "            \"calIndex\":0,\n            \"name\":\"pH 7 Calibration\",\n            \"message\":\"m\",\n"
        "            \"editable\":true,\n            \"max\":8,\n            \"min\":6.500000}]\n"
        ",\n"
        "        \"Editable4mA\":false,\n        \"Editable20mA\":false,\n        \"rangeMax\":100,\n"
        "        \"rangeMin\":0,\n        \"customized\":false}]\n"
        ",\n    \"supportRestore\":false,\n    \"configs\":[\n]\n,\n"
        "    \"brushAddr\":0,\n    \"brush\":[\n]\n}"
        ",\n"
        "  {\n"
        "    \"modelName\":\"Zed\",\n    \"modbusAddr\":3,\n    \"PN\":7,\n"
        "    \"sensors\":[\n]\n,\n    \"supportRestore\":false,\n"
        "    \"configs\":[\n      {\n        \"Name\":\"avg\",\n        \"Editable\":true,\n        \"Tip\":\"n\"}]\n,\n"
        "    \"brushAddr\":4,\n    \"brush\":[\n      \"Wipe\"]\n}"
        "]\n";
    EXPECT_EQ(env->getProbeLibraryJson(), expected);
}

TEST_F(LibraryTest, FullDefinitionRoundTripsThroughTheWriter) {
    auto first = parse(kFullDef);
    const std::string text = probeDefinitionText(*first);
    EXPECT_EQ(text.substr(0, 22), "{\n  \"PN\":1234567,\n  \"D");
    EXPECT_EQ(text.back(), '}');
    auto second = parse(text);
    EXPECT_EQ(probeDefinitionText(*second), text);
    // Spot checks that the reread definition is whole.
    EXPECT_EQ(second->DataFmt.str(), "BADC");
    EXPECT_EQ(second->Info[1].RegAddress, -1);
    EXPECT_EQ(second->Config[0].Cmds[1].SetValue, 10);
    const CalibrationItem& cal = second->Readings[0].Calibrations[0];
    EXPECT_FLOAT_EQ(cal.SetValueMax, 14.5f);  // taken from the first command
    EXPECT_EQ(cal.Cmds[0].Results[1].ResultMessage.str(), "bad");
    EXPECT_EQ(cal.Cmds[0].Waiting_mS, 2500);
    EXPECT_TRUE(second->Span4_20mA[0].mA4.Editable);
    EXPECT_EQ(second->Span4_20mA[0].mA20.Placeholder, 20);
    EXPECT_EQ(second->Span4_20mA[0].mA4.Cmds.size(), 1u);
    EXPECT_EQ(second->Brushing.Cmds[0].Waiting_mS, 3000);
    EXPECT_EQ(second->RestoreFactory.Cmds[0].SetValue, 165);
    EXPECT_TRUE(second->CleanlinessCheck.resultBecomingFouled.IsWarning);
    EXPECT_TRUE(second->CleanlinessCheck.resultFouled.PleaseClean);
    EXPECT_TRUE(second->Readings[0].Customized);
    EXPECT_EQ(second->Readings[0].custName.str(), "Turb");
}

TEST_F(LibraryTest, CustomDefinitionGetsAPartNumberAndIsStored) {
    writeDef("ph.json", kPhDef);
    auto env = makeEnv();
    auto upload = parse(R"({"ModelName": "Mine", "ModelType": "Custom", "ModbusAddr": 30,
      "Readings": [{"Name": "Level", "Unit": "m"}, {"Name": "Temperature", "Unit": "C"}]})");
    EXPECT_EQ(env->addCustomProbe(*upload), 1000001u);
    EXPECT_EQ(upload->PN, 1000001);
    EXPECT_TRUE(upload->Readings[0].Customized);
    EXPECT_TRUE(upload->Readings[1].Customized);

    const std::string file = orvane::test::readFile(probeDir() + "1000001.json");
    EXPECT_EQ(file, probeDefinitionText(*upload));
    auto reread = parse(file);
    EXPECT_EQ(probeDefinitionText(*reread), file);
    auto text = std::make_unique<fss::stringHuge>();
    ASSERT_TRUE(env->getCustomProbeMeta(1000001, *text));
    EXPECT_EQ(text->str(), file);

    auto stored = env->getProbeMetaByPN(1000001);
    EXPECT_EQ(stored->ModelName.str(), "Mine");
    EXPECT_NE(env->getProbeLibraryJson().find("\"modelName\":\"Custom\""), std::string::npos);

    auto next = parse(R"({"PN": 0, "ModelName": "Two"})");
    EXPECT_EQ(env->addCustomProbe(*next), 1000002u);
    auto big = parse(R"({"PN": -5, "ModelName": "Three"})");
    writeDef("huge.json", R"({"PN": 3000000, "ModelName": "Huge"})");
    env->build_meta_str();
    EXPECT_EQ(env->addCustomProbe(*big), 3000001u);

    // Restart: the stored definitions are part of the library.
    env.reset();
    auto again = makeEnv();
    EXPECT_EQ(again->getProbeMetaByPN(1000002)->ModelName.str(), "Two");
    EXPECT_EQ(again->getProbeMetaByPN(3000001)->ModelName.str(), "Three");
}

TEST_F(LibraryTest, UploadForABuiltInModelIsMerged) {
    standardLibrary();
    auto env = makeEnv();
    auto upload = parse(R"({"PN": 50661, "ModelName": "ProbeC",
      "Readings": [{"Name": "Conductivity", "Unit": "uS/cm", "DisplayUnit": "x", "RegAddress": 99,
                    "RegType": "uint", "Decimal": 0},
                   {"Name": "Turbidity", "Unit": "NTU", "RegAddress": 7}]})");
    EXPECT_EQ(env->addCustomProbe(*upload), 50661u);
    auto merged = env->getProbeMetaByPN(50661);
    ASSERT_EQ(merged->Readings.size(), 3u);
    const ReadingItem& cond = merged->Readings[0];
    EXPECT_EQ(cond.Unit.str(), "uS/cm");
    EXPECT_EQ(cond.RegAddress, 99);
    EXPECT_EQ(cond.RegType.str(), "uint");
    EXPECT_EQ(cond.Decimal, 0);
    EXPECT_EQ(cond.DisplayUnit.str(), "mS");       // the model's own
    EXPECT_EQ(cond.Calibrations.size(), 2u);       // kept
    EXPECT_FALSE(cond.Customized);
    EXPECT_EQ(merged->Readings[1].Name.str(), "Temperature");
    EXPECT_EQ(merged->Readings[2].Name.str(), "Turbidity");
    EXPECT_TRUE(merged->Readings[2].Customized);
    EXPECT_EQ(merged->RestoreFactory.Cmds.size(), 1u);  // the rest of the model stays

    // A later upload without the added reading drops it.
    auto second = parse(R"({"PN": 50661, "Readings": [{"Name": "Conductivity", "Unit": "S/m"}]})");
    env->addCustomProbe(*second);
    merged = env->getProbeMetaByPN(50661);
    ASSERT_EQ(merged->Readings.size(), 2u);
    EXPECT_EQ(merged->Readings[0].Unit.str(), "S/m");
    EXPECT_EQ(merged->Readings[1].Name.str(), "Temperature");

    // Above 1000000 an upload is stored as given, without merge.
    writeDef("custom.json", R"({"PN": 2000000, "ModelName": "Old", "Readings": [{"Name": "A"}, {"Name": "B"}]})");
    env->build_meta_str();
    auto replace = parse(R"({"PN": 2000000, "ModelName": "New", "Readings": [{"Name": "C"}]})");
    env->addCustomProbe(*replace);
    auto custom = env->getProbeMetaByPN(2000000);
    EXPECT_EQ(custom->ModelName.str(), "New");
    ASSERT_EQ(custom->Readings.size(), 1u);
    EXPECT_FALSE(custom->Readings[0].Customized);
}

TEST_F(LibraryTest, BoundItemsSurviveALibraryReload) {
    standardLibrary();
    auto env = makeEnv();
    auto items = std::make_unique<ProbeRecipeItems>();
    (*items)[0].pn = 50661;
    (*items)[0].modbusAddr = 10;
    (*items)[0].name = "Conductivity";
    (*items)[1].pn = 4444;
    (*items)[1].modbusAddr = 20;
    (*items)[1].name = "pH";
    env->updateProbeRefrence(*items);
    const ProbeMeta* cond = (*items)[0].probeMeta;
    const ProbeMeta* ph = (*items)[1].probeMeta;
    ASSERT_EQ(cond->PN, 50661);
    ASSERT_EQ(ph->PN, 4444);
    EXPECT_EQ((*items)[0].measureType, static_cast<int32_t>(MEASURE_TYPE::Conductivity));
    EXPECT_EQ((*items)[1].readingIndex, 0);

    auto upload = parse(R"({"PN": 50661, "Readings": [{"Name": "Conductivity", "Unit": "S/m"}]})");
    env->addCustomProbe(*upload);
    // The unchanged definition keeps its object; the replaced one stays readable until rebound.
    EXPECT_EQ(env->getProbeMetaByPN(4444).get(), ph);
    EXPECT_NE(env->getProbeMetaByPN(50661).get(), cond);
    EXPECT_EQ(cond->Readings[0].Unit.str(), "mS/cm");
    env->updateProbeRefrence(*items);
    EXPECT_EQ((*items)[0].probeMeta->Readings[0].Unit.str(), "S/m");
    EXPECT_EQ((*items)[1].probeMeta, ph);
}

TEST_F(LibraryTest, CalibrationIndexForPanelCommands) {
    standardLibrary();
    auto env = makeEnv();
    EXPECT_EQ(env->get_calibr_cmd_index(50661, MEASURE_TYPE::Conductivity, 1), 0);
    EXPECT_EQ(env->get_calibr_cmd_index(50661, MEASURE_TYPE::Conductivity, 2), 1);  // second name of the row
    EXPECT_EQ(env->get_calibr_cmd_index(4444, MEASURE_TYPE::pH, 3), 0);
    EXPECT_EQ(env->get_calibr_cmd_index(4444, MEASURE_TYPE::pH, 4), 1);  // without regard to case
    EXPECT_EQ(env->get_calibr_cmd_index(4444, MEASURE_TYPE::pH, 5), -1);
    EXPECT_EQ(env->get_calibr_cmd_index(50661, MEASURE_TYPE::pH, 1), -1);
    EXPECT_EQ(env->get_calibr_cmd_index(9999, MEASURE_TYPE::pH, 3), -1);
    EXPECT_EQ(logText().find("out of range"), std::string::npos);
    EXPECT_EQ(env->get_calibr_cmd_index(50661, MEASURE_TYPE::Conductivity, 14), -1);
    EXPECT_NE(logText().find("get_calibr_cmd_index: hmi_calibr_cmd 14 out of range"), std::string::npos);
}

TEST_F(LibraryTest, PrioritySlaveIdOrder) {
    standardLibrary();
    auto env = makeEnv();
    env->buildPrioritySalveIDs();
    std::vector<int> ids = env->getPrioritySlaveIds();
    const std::vector<int> head = {10, 11, 12, 13, 14, 15, 16, 23, 60, 66, 70, 79, 80, 83, 93,
                                   150, 151, 152, 153, 154, 155, 156, 157, 158, 159, 160, 20, 0, 1, 2};
    ASSERT_GE(ids.size(), head.size());
    EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + static_cast<long>(head.size())), head);
    std::vector<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> every(248);
    for (int i = 0; i <= 247; ++i) every[static_cast<size_t>(i)] = i;
    EXPECT_EQ(sorted, every);  // 1..247 once each, and 0 once for the empty entries

    env->startScan(SCAN_MODE::BY_PN, 4444);
    env->buildPrioritySalveIDs();
    ids = env->getPrioritySlaveIds();
    EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 3), (std::vector<int>{20, 20, 150}));
    EXPECT_EQ(ids.size(), 249u);

    std::vector<int> last = {5, 7, 5, 200};
    env->setLastScannedSlaveIDs(last);
    env->startScan(SCAN_MODE::BY_LIST, 0);
    env->buildPrioritySalveIDs();
    ids = env->getPrioritySlaveIds();
    EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 4), (std::vector<int>{5, 7, 200, 150}));
    EXPECT_EQ(ids.size(), 248u);
}

TEST_F(LibraryTest, GarbageDefinitionFilesStayInert) {
    writeDef("a-garbage.json", "this is not a probe definition {");
    writeDef("b-empty.json", "");
    writeDef("c-object.json", R"({"hello": "world"})");
    writeDef("ph.json", kPhDef);
    auto env = makeEnv();
    EXPECT_EQ(env->getProbeMetaByPN(4444)->ModelName.str(), "Alpha");
    EXPECT_EQ(env->getProbeMetaByPN(0)->PN, 0);
    const std::string text = env->getProbeLibraryJson();
    EXPECT_EQ(std::count(text.begin(), text.end(), '{'), 4);  // one view, its sensor, its two calibrations
    auto items = std::make_unique<ProbeRecipeItems>();
    (*items)[0].pn = 0;
    (*items)[0].modbusAddr = 1;
    env->updateProbeRefrence(*items);
    EXPECT_EQ((*items)[0].probeMeta->PN, 0);
}

TEST_F(LibraryTest, UserDefinitionKeysInTheirFileOrder) {
    auto def = parse(kFullDef);
    const std::string text = probeDefinitionText(*def);
    std::vector<std::string> keys;
    for (size_t p = text.find('"'); p != std::string::npos; p = text.find('"', p + 1)) {
        const size_t end = text.find('"', p + 1);
        if (end == std::string::npos) break;
        if (end + 1 < text.size() && text[end + 1] == ':') keys.push_back(text.substr(p + 1, end - p - 1));
        p = end;
    }
    const std::vector<std::string> calCmd = {"RegAddress", "RegType", "Editable", "SetValue", "Waiting_mS",
                                             "ResultRegAddress", "ResultRegType", "Results"};
    std::vector<std::string> expected = {"PN", "DataFmt", "ModelType", "ModelName", "ModelDescription", "ModbusAddr",
                                         "Info", "Name", "RegAddress", "RegType", "RegLen", "Name", "RegAddress",
                                         "RegType", "RegLen", "Config", "Name", "SettingsType", "Editable", "Tip", "Cmds"};
    auto add = [&](std::initializer_list<const char*> more) {
        for (const char* k : more) expected.emplace_back(k);
    };
    auto addCalCmd = [&](std::initializer_list<const char*> results) {
        expected.insert(expected.end(), calCmd.begin(), calCmd.end());
        add(results);
        add({"SetValueMax", "SetValueMin"});
    };
    for (int i = 0; i < 2; ++i) add({"RegAddress", "RegType", "RegLen", "Editable", "SetValue"});
    add({"Readings", "Name", "custName", "Unit", "RegAddress", "RegType", "Decimal", "Calibrations", "Name",
         "Message", "Cmds"});
    addCalCmd({"RegValue", "ResultMessage", "RegValue", "ResultMessage"});
    add({"SetValueMax", "SetValueMin", "Customized", "DisplayUnit"});
    add({"Diagnosis", "DisplayName", "Name", "RegAddress", "RegType"});
    add({"Span4_20mA", "Name", "RegAddress", "RegType", "__4mA", "Name", "Editable", "Placeholder", "Cmds"});
    addCalCmd({});
    add({"__20mA", "Name", "Editable", "Placeholder", "Cmds"});
    add({"Brushing", "modbusID", "RegAddress", "RegType", "RegLen", "Cmds", "Name", "SetValue", "Waiting_mS",
         "Editable"});
    add({"Control", "Name", "Tip", "Cmds", "RegAddress", "RegType", "RegLen", "SetValue"});
    add({"RestoreFactory", "Name", "Message", "Cmds", "RegAddress", "RegType", "RegLen", "Editable", "SetValue",
         "Results", "ResultMessage", "RegValue"});
    add({"CleanlinessCheck", "Script"});
    for (const char* r : {"resultClean", "resultBecomingFouled", "resultFouled"}) {
        add({r, "minCleanliness", "DiagMessage", "PleaseClean", "IsClean", "IsWarning"});
    }
    EXPECT_EQ(keys, expected);

    // The frame of the gateway's writer: arrays close on their own line, the parent goes on after ",".
    EXPECT_NE(text.find("      \"DisplayUnit\":\"ntu\"}]\n,\n  \"Diagnosis\":[\n    {\n"), std::string::npos);
    EXPECT_NE(text.find("  \"Brushing\":{\n    \"modbusID\":7,\n"), std::string::npos);
    EXPECT_NE(text.find("\"IsWarning\":false}}"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 3), "}}}");
}
