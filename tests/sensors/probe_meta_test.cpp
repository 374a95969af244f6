// Probe-definition files: every section, defaults of missing keys, cut texts, garbage text.
#include <cmath>

#include "recipe/recipe_data.h"
#include "sensor_test_util.h"

using sensors_test::parseMeta;

namespace {

const char* kFull = R"({
  "PN": 50210, "DataFmt": "ABCD", "ModelType": "pH/ORP", "ModelName": "PHX-200",
  "ModelDescription": "Digital pH probe with a very long description", "ModbusAddr": 10,
  "Info": [{"Name": "Serial Number", "RegAddress": 41001, "RegType": "uint", "RegLen": 2},
           {"Name": "Model"}],
  "Config": [{"Name": "Modbus Address", "SettingsType": "number", "Editable": true, "Tip": "1-247",
              "Cmds": [{"RegAddress": 44001, "RegType": "ushort", "RegLen": 1, "Editable": true, "SetValue": 10},
                       {"RegAddress": 44005, "RegType": "ushort", "Editable": false}]}],
  "Readings": [{"Name": "pH", "custName": "Tank pH", "Unit": "pH", "RegAddress": 40001, "RegType": "float", "Decimal": 2,
                "Calibrations": [{"Name": "pH 7", "Message": "Use the [7.00] buffer, then {wait}.",
                                  "Cmds": [{"RegAddress": 42001, "RegType": "float", "Editable": true, "SetValue": 7, "Waiting_mS": 3000,
                                            "ResultRegAddress": 42004, "ResultRegType": "ushort",
                                            "Results": [{"RegValue": 1, "ResultMessage": "calibration succeed"},
                                                        {"RegValue": 2, "ResultMessage": "bad"}],
                                            "SetValueMax": 14, "SetValueMin": 0},
                                           {"RegAddress": 42003, "RegType": "ushort"}],
                                  "SetValueMax": 99, "SetValueMin": -5}],
                "Customized": true, "DisplayUnit": "pH"}],
  "Diagnosis": [{"DisplayName": "Cleanliness", "Name": "cleanliness", "RegAddress": 45001, "RegType": "float"}],
  "Span4_20mA": [{"Name": "pH", "RegAddress": 43001, "RegType": "ushort",
                  "__4mA": {"Name": "at 4 mA", "Editable": true, "Placeholder": 2, "Cmds": [{"RegAddress": 43001, "RegType": "float"}]},
                  "__20mA": {"Name": "at 20 mA", "Editable": false, "Placeholder": 14, "Cmds": []}}],
  "Brushing": {"modbusID": 31, "RegAddress": 46001, "RegType": "ushort", "RegLen": 1,
               "Cmds": [{"Name": "start", "SetValue": 1, "Waiting_mS": 15000, "Editable": false}, {"Name": "stop", "SetValue": 0}]},
  "Control": [{"Name": "Reboot", "Tip": "restart", "Cmds": [{"RegAddress": 44010, "RegLen": 1, "RegType": "ushort", "SetValue": 1}]}],
  "RestoreFactory": {"Name": "Factory reset", "Message": "Restore",
                     "Cmds": [{"RegAddress": 44011, "RegType": "ushort", "RegLen": 1, "Editable": false, "SetValue": 1,
                               "Results": [{"RegValue": 1, "ResultMessage": "restore succeed"}]}]},
  "CleanlinessCheck": {"Script": "most",
    "resultClean": {"minCleanliness": 80, "DiagMessage": "clean", "PleaseClean": false, "IsClean": true, "IsWarning": false},
    "resultBecomingFouled": {"minCleanliness": 50, "DiagMessage": "fouling", "IsWarning": true},
    "resultFouled": {"minCleanliness": 0, "DiagMessage": "fouled", "PleaseClean": true}}
})";

TEST(ProbeMetaRead, EverySectionOfAFullDefinition) {
    auto m = parseMeta(kFull);
    EXPECT_EQ(m->PN, 50210);
    EXPECT_EQ(m->DataFmt, "ABCD");
    EXPECT_EQ(m->ModelType, "pH/ORP");
    EXPECT_EQ(m->ModelName, "PHX-200");
    EXPECT_EQ(m->ModelDescription, "Digital pH probe");  // cut at 16
    EXPECT_EQ(m->ModbusAddr, 10);

    ASSERT_EQ(m->Info.size(), 2u);
    EXPECT_EQ(m->Info[0].RegAddress, 41001);
    EXPECT_EQ(m->Info[0].RegLen, 2);
    EXPECT_EQ(m->Info[1].Name, "Model");
    EXPECT_EQ(m->Info[1].RegAddress, -1);  // defaults of a bare Info element
    EXPECT_EQ(m->Info[1].RegLen, 1);

    ASSERT_EQ(m->Config.size(), 1u);
    EXPECT_TRUE(m->Config[0].Editable);
    EXPECT_EQ(m->Config[0].Tip, "1-247");
    ASSERT_EQ(m->Config[0].Cmds.size(), 2u);
    EXPECT_TRUE(m->Config[0].Cmds[0].Editable);
    EXPECT_EQ(m->Config[0].Cmds[1].SetValue, 10);  // default
    EXPECT_EQ(m->Config[0].Cmds[1].RegLen, 1);

    ASSERT_EQ(m->Readings.size(), 1u);
    const ReadingItem& r = m->Readings[0];
    EXPECT_EQ(r.custName, "Tank pH");
    EXPECT_TRUE(r.Customized);
    EXPECT_EQ(r.Decimal, 2);
    ASSERT_EQ(r.Calibrations.size(), 1u);
    const CalibrationItem& cal = r.Calibrations[0];
    EXPECT_EQ(cal.Message, "Use the [7.00] buffer, then {wait}.");  // brackets inside a text
    ASSERT_EQ(cal.Cmds.size(), 2u);
    EXPECT_EQ(cal.Cmds[0].Waiting_mS, 3000);
    EXPECT_EQ(cal.Cmds[0].ResultRegAddress, 42004);
    ASSERT_EQ(cal.Cmds[0].Results.size(), 2u);
    EXPECT_EQ(cal.Cmds[0].Results[1].ResultMessage, "bad");
    EXPECT_EQ(cal.Cmds[1].SetValue, 4);  // defaults of a calibration command
    EXPECT_EQ(cal.Cmds[1].Waiting_mS, 1000);
    // A calibration's limits are those of its first command, whatever its own keys say.
    EXPECT_FLOAT_EQ(cal.SetValueMax, 14.0f);
    EXPECT_FLOAT_EQ(cal.SetValueMin, 0.0f);

    ASSERT_EQ(m->Span4_20mA.size(), 1u);
    const Span4_20mA_Meta& s = m->Span4_20mA[0];
    EXPECT_EQ(s.RegType, "ushort");
    EXPECT_EQ(s.mA4.Name, "at 4 mA");
    EXPECT_TRUE(s.mA4.Editable);
    EXPECT_EQ(s.mA4.Placeholder, 2);
    EXPECT_EQ(s.mA4.Cmds.size(), 1u);
    EXPECT_EQ(s.mA20.Placeholder, 14);
    EXPECT_TRUE(s.mA20.Cmds.empty());

    EXPECT_EQ(m->Brushing.modbusID, 31);
    ASSERT_EQ(m->Brushing.Cmds.size(), 2u);
    EXPECT_EQ(m->Brushing.Cmds[1].Waiting_mS, 1000);
    ASSERT_EQ(m->Control.size(), 1u);
    EXPECT_EQ(m->Control[0].Cmds[0].RegAddress, 44010);
    ASSERT_EQ(m->RestoreFactory.Cmds.size(), 1u);
    EXPECT_EQ(m->RestoreFactory.Cmds[0].Results[0].ResultMessage, "restore succeed");
    EXPECT_EQ(m->CleanlinessCheck.Script, "most");
    EXPECT_TRUE(m->CleanlinessCheck.resultClean.IsClean);
    EXPECT_TRUE(m->CleanlinessCheck.resultBecomingFouled.IsWarning);
    EXPECT_TRUE(m->CleanlinessCheck.resultFouled.PleaseClean);
    EXPECT_EQ(m->CleanlinessCheck.resultFouled.minCleanliness, 0);
}

TEST(ProbeMetaRead, MissingSectionsAndKeysKeepTheirDefaults) {
    auto m = parseMeta(R"({"PN": 7, "Readings": [{"Name": "pH", "RegAddress": 1}],
        "Span4_20mA": [{"Name": "pH"}], "Config": [{"Name": "x", "Cmds": [{"RegAddress": 3}]}]})");
    EXPECT_EQ(m->PN, 7);
    EXPECT_TRUE(m->DataFmt.empty());  // floats of this probe are CDAB
    EXPECT_TRUE(m->Info.empty());
    EXPECT_TRUE(m->Diagnosis.empty());
    EXPECT_TRUE(m->Control.empty());
    EXPECT_TRUE(m->RestoreFactory.Cmds.empty());
    EXPECT_EQ(m->Brushing.RegLen, 1);
    EXPECT_TRUE(m->Brushing.Cmds.empty());
    EXPECT_EQ(m->Span4_20mA[0].RegType, "float");
    EXPECT_EQ(m->Config[0].Cmds[0].SetValue, 10);
    EXPECT_EQ(m->Config[0].Cmds[0].RegLen, 1);
    EXPECT_FALSE(m->Config[0].Editable);
}

TEST(ProbeMetaRead, ValueRules) {
    auto m = parseMeta(R"({"PN": 12.9, "ModbusAddr": "7",
        "Readings": [{"Name": "0123456789012345678901234567890123456789", "Decimal": -3, "Customized": "True"},
                     {"Name": "b", "Customized": 1}],
        "Config": [{"Name": "c", "Editable": TRUE}, {"Name": "d", "Editable": "true"}]})");
    EXPECT_EQ(m->PN, 12);          // a fraction is cut off
    EXPECT_EQ(m->ModbusAddr, 0);   // a quoted number is not a number
    EXPECT_EQ(m->Readings[0].Name, "01234567890123456789012345678901");  // first 32 characters
    EXPECT_EQ(m->Readings[0].Decimal, -3);
    EXPECT_TRUE(m->Readings[0].Customized);   // "True" reads true
    EXPECT_FALSE(m->Readings[1].Customized);  // 1 reads false
    EXPECT_FALSE(m->Config[0].Editable);      // only t/T followed by "rue"
    EXPECT_TRUE(m->Config[1].Editable);
}

TEST(ProbeMetaRead, KeysAreFoundAtTheirOwnLevelOnly) {
    // The span has no RegType of its own; its commands' RegType is not taken for it. An own key
    // written after a nested list with the same key is still found.
    auto m = parseMeta(R"({"Span4_20mA": [{"__4mA": {"Cmds": [{"RegType": "ushort", "RegAddress": 5}]}, "Name": "pH"}],
        "Readings": [{"Calibrations": [{"Name": "cal"}], "Name": "pH"}], "PN": 3})");
    EXPECT_EQ(m->Span4_20mA[0].RegType, "float");
    EXPECT_EQ(m->Span4_20mA[0].RegAddress, 0);
    EXPECT_EQ(m->Span4_20mA[0].Name, "pH");
    EXPECT_EQ(m->Readings[0].Name, "pH");
    EXPECT_EQ(m->PN, 3);
}

TEST(ProbeMetaRead, EscapedTextsAndUtf8CutOnAWholeCharacter) {
    auto m = parseMeta(R"({"ModelName": "a\"b\\c", "ModelType": "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"})");
    EXPECT_EQ(m->ModelName, "a\"b\\c");
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += "\xc3\xa9";
    EXPECT_EQ(m->ModelType.str(), eight);
    // 9 two-byte characters do not fit 16 bytes: 8 whole ones are kept.
    EXPECT_EQ(m->ModelType.view().size(), 16u);
}

TEST(ProbeMetaRead, ListsLongerThanTheirCapacityAreCut) {
    std::string diag;
    for (int i = 0; i < 40; ++i) diag += (i ? "," : "") + std::string(R"({"Name": "d)") + std::to_string(i) + R"(", "RegAddress": 1})";
    sensors_test::LogCapture log;
    auto m = parseMeta("{\"Diagnosis\": [" + diag + "]}");
    EXPECT_EQ(m->Diagnosis.size(), probe_limits::kDiagnosis);
    EXPECT_EQ(m->Diagnosis[31].Name, "d31");
    EXPECT_EQ(log.count("more than 32 entries in \"Diagnosis\""), 1u);
}

TEST(ProbeMetaRead, GarbageAndTruncatedText) {
    auto none = std::make_unique<ProbeMeta>();
    EXPECT_FALSE(readJson(std::string_view("not json at all"), *none));
    EXPECT_EQ(none->PN, 0);
    EXPECT_TRUE(readJson(std::string_view("{\"other\": [1,2,{]]}"), *none));  // an object, but no definition
    EXPECT_EQ(none->PN, 0);
    // A file cut off in the middle never closes its top object: nothing is read.
    auto cut = std::make_unique<ProbeMeta>();
    EXPECT_FALSE(readJson(std::string_view(R"({"PN": 5, "Readings": [{"Name": "pH")"), *cut));
    EXPECT_EQ(cut->PN, 0);
    // An empty array element ends the list.
    auto m = parseMeta(R"({"Info": [{"Name": "a"}, , {"Name": "b"}], "Diagnosis": [3, {"Name": "x"}]})");
    EXPECT_EQ(m->Info.size(), 1u);
    EXPECT_EQ(m->Diagnosis.size(), 1u);  // non-object elements carry nothing
}

TEST(ProbeMetaRead, ShippedDefinitionsLoad) {
    for (const char* f : {"ph_probe_phx200.json", "conductivity_probe_cdx300.json", "turbidity_probe_tbx100.json"}) {
        auto m = sensors_test::distMeta(f);
        EXPECT_GT(m->PN, 0) << f;
        EXPECT_FALSE(m->Readings.empty()) << f;
        EXPECT_NE(m->getReadItemByName("Temperature"), nullptr) << f;
        bool hasAddress = false;
        for (const auto& c : m->Config) hasAddress = hasAddress || c.Name == "Modbus Address";
        EXPECT_TRUE(hasAddress) << f;
    }
    auto ph = sensors_test::distMeta("ph_probe_phx200.json");
    EXPECT_EQ(ph->getReadItemByName("pH")->Calibrations.size(), 2u);
    EXPECT_EQ(ph->indexOfReading("Temperature"), 1);
    EXPECT_EQ(ph->getReadItemByName("pHx"), nullptr);
}

TEST(ProbeMetaRecord, PlainCopyableAndEmptyDefinitionShared) {
    static_assert(std::is_trivially_copyable_v<ProbeMeta>);
    auto a = sensors_test::distMeta("ph_probe_phx200.json");
    auto b = std::make_unique<ProbeMeta>(*a);
    EXPECT_EQ(b->Readings[0].Calibrations[1].Name, a->Readings[0].Calibrations[1].Name);
    EXPECT_EQ(probeMetaNone().PN, 0);
    EXPECT_EQ(ProbeMeasureRecipeItem::noneObject(), &probeMetaNone());
    auto item = std::make_unique<ProbeMeasureRecipeItem>();
    EXPECT_EQ(item->probeMeta, &probeMetaNone());
}

}  // namespace
