#include "env/probe_def_writer.h"

#include "env/json_text_out.h"
#include "sensors/probe_meta.h"

namespace {

// Writes the members of one object; the object frame follows the gateway's writer: "{" and a
// newline, members separated by "," and a newline, "}" directly after the last value. An array
// member ends with "]" and a newline, so a following "," stands on a line of its own.
class DefWriter {
public:
    explicit DefWriter(JsonTextOut& out) : out_(out) {}

    void open(const char* name) {
        out_.indent();
        if (name) {
            out_.raw("\"");
            out_.raw(name);
            out_.raw("\":{\n");
        } else {
            out_.raw("{\n");
        }
        ++gIndentLevelForWriteJsonP;
        first_ = true;
    }
    void close() {
        out_.raw("}");
        --gIndentLevelForWriteJsonP;
        first_ = false;
    }
    template <class T>
    void m(const char* name, const T& value) {
        next();
        out_.member(name, value);
    }
    void f(const char* name, float value) {
        next();
        out_.real(name, value);
    }
    template <class List, class Write>
    void list(const char* name, const List& items, Write&& write) {
        next();
        out_.indent();
        out_.raw("\"");
        out_.raw(name);
        out_.raw("\":[\n");
        ++gIndentLevelForWriteJsonP;
        bool firstElement = true;
        for (const auto& item : items) {
            if (!firstElement) out_.raw(",\n");
            firstElement = false;
            open(nullptr);
            write(item);
            close();
        }
        --gIndentLevelForWriteJsonP;
        out_.raw("]\n");
        first_ = false;
    }
    template <class Write>
    void object(const char* name, Write&& write) {
        next();
        open(name);
        write();
        close();
    }

private:
    void next() {
        if (!first_) out_.raw(",\n");
        first_ = false;
    }
    JsonTextOut& out_;
    bool first_ = true;
};

void calbCmd(DefWriter& w, const CalbCmd_Like& c) {
    w.m("RegAddress", c.RegAddress);
    w.m("RegType", c.RegType);
    w.m("Editable", c.Editable);
    w.m("SetValue", c.SetValue);
    w.m("Waiting_mS", c.Waiting_mS);
    w.m("ResultRegAddress", c.ResultRegAddress);
    w.m("ResultRegType", c.ResultRegType);
    w.list("Results", c.Results, [&](const CalbCmdResult& r) {
        w.m("RegValue", r.RegValue);
        w.m("ResultMessage", r.ResultMessage);
    });
    w.f("SetValueMax", c.SetValueMax);
    w.f("SetValueMin", c.SetValueMin);
}

void spanEnd(DefWriter& w, const Span4_20mA_Meta::Span4_20mA_MetaItem& e) {
    w.m("Name", e.Name);
    w.m("Editable", e.Editable);
    w.m("Placeholder", e.Placeholder);
    w.list("Cmds", e.Cmds, [&](const CalbCmd_Like& c) { calbCmd(w, c); });
}

void cleanlinessResult(DefWriter& w, const CleanlinessResult& r) {
    w.m("minCleanliness", r.minCleanliness);
    w.m("DiagMessage", r.DiagMessage);
    w.m("PleaseClean", r.PleaseClean);
    w.m("IsClean", r.IsClean);
    w.m("IsWarning", r.IsWarning);
}

}  // namespace

std::string probeDefinitionText(const ProbeMeta& def) {
    const int savedLevel = gIndentLevelForWriteJsonP;
    gIndentLevelForWriteJsonP = 0;
    JsonTextOut out;
    DefWriter w(out);
    w.open(nullptr);
    w.m("PN", static_cast<long long>(def.PN));
    w.m("DataFmt", def.DataFmt);
    w.m("ModelType", def.ModelType);
    w.m("ModelName", def.ModelName);
    w.m("ModelDescription", def.ModelDescription);
    w.m("ModbusAddr", def.ModbusAddr);
    w.list("Info", def.Info, [&](const InfoItem& i) {
        w.m("Name", i.Name);
        w.m("RegAddress", i.RegAddress);
        w.m("RegType", i.RegType);
        w.m("RegLen", i.RegLen);
    });
    w.list("Config", def.Config, [&](const ConfigItem& c) {
        w.m("Name", c.Name);
        w.m("SettingsType", c.SettingsType);
        w.m("Editable", c.Editable);
        w.m("Tip", c.Tip);
        w.list("Cmds", c.Cmds, [&](const ConfigItem::ConfigCmdItem& k) {
            w.m("RegAddress", k.RegAddress);
            w.m("RegType", k.RegType);
            w.m("RegLen", k.RegLen);
            w.m("Editable", k.Editable);
            w.m("SetValue", k.SetValue);
        });
    });
    w.list("Readings", def.Readings, [&](const ReadingItem& r) {
        w.m("Name", r.Name);
        w.m("custName", r.custName);
        w.m("Unit", r.Unit);
        w.m("RegAddress", r.RegAddress);
        w.m("RegType", r.RegType);
        w.m("Decimal", r.Decimal);
        w.list("Calibrations", r.Calibrations, [&](const CalibrationItem& c) {
            w.m("Name", c.Name);
            w.m("Message", c.Message);
            w.list("Cmds", c.Cmds, [&](const CalbCmd_Like& k) { calbCmd(w, k); });
            w.f("SetValueMax", c.SetValueMax);
            w.f("SetValueMin", c.SetValueMin);
        });
        w.m("Customized", r.Customized);
        w.m("DisplayUnit", r.DisplayUnit);
    });
    w.list("Diagnosis", def.Diagnosis, [&](const DiagnosisItem& d) {
        w.m("DisplayName", d.DisplayName);
        w.m("Name", d.Name);
        w.m("RegAddress", d.RegAddress);
        w.m("RegType", d.RegType);
    });
    w.list("Span4_20mA", def.Span4_20mA, [&](const Span4_20mA_Meta& s) {
        w.m("Name", s.Name);
        w.m("RegAddress", s.RegAddress);
        w.m("RegType", s.RegType);
        w.object("__4mA", [&] { spanEnd(w, s.mA4); });
        w.object("__20mA", [&] { spanEnd(w, s.mA20); });
    });
    w.object("Brushing", [&] {
        w.m("modbusID", def.Brushing.modbusID);
        w.m("RegAddress", def.Brushing.RegAddress);
        w.m("RegType", def.Brushing.RegType);
        w.m("RegLen", def.Brushing.RegLen);
        w.list("Cmds", def.Brushing.Cmds, [&](const BrushingMeta::BrushCmd& b) {
            w.m("Name", b.Name);
            w.m("SetValue", b.SetValue);
            w.m("Waiting_mS", b.Waiting_mS);
            w.m("Editable", b.Editable);
        });
    });
    w.list("Control", def.Control, [&](const ControlCmd& c) {
        w.m("Name", c.Name);
        w.m("Tip", c.Tip);
        w.list("Cmds", c.Cmds, [&](const ControlCmd::ControlCmdItem& k) {
            w.m("RegAddress", k.RegAddress);
            w.m("RegType", k.RegType);
            w.m("RegLen", k.RegLen);
            w.m("SetValue", k.SetValue);
        });
    });
    w.object("RestoreFactory", [&] {
        w.m("Name", def.RestoreFactory.Name);
        w.m("Message", def.RestoreFactory.Message);
        w.list("Cmds", def.RestoreFactory.Cmds, [&](const RestoreCmd& k) {
            w.m("RegAddress", k.RegAddress);
            w.m("RegType", k.RegType);
            w.m("RegLen", k.RegLen);
            w.m("Editable", k.Editable);
            w.m("SetValue", k.SetValue);
            w.list("Results", k.Results, [&](const RestoreReturnItem& r) {
                w.m("ResultMessage", r.ResultMessage);
                w.m("RegValue", r.RegValue);
            });
            // Not among the documented keys; written only when a definition set them, so that
            // such a definition reads back whole.
            if (k.ResultRegAddress != 0 || !k.ResultRegType.empty()) {
                w.m("ResultRegAddress", k.ResultRegAddress);
                w.m("ResultRegType", k.ResultRegType);
            }
        });
    });
    w.object("CleanlinessCheck", [&] {
        w.m("Script", def.CleanlinessCheck.Script);
        w.object("resultClean", [&] { cleanlinessResult(w, def.CleanlinessCheck.resultClean); });
        w.object("resultBecomingFouled", [&] { cleanlinessResult(w, def.CleanlinessCheck.resultBecomingFouled); });
        w.object("resultFouled", [&] { cleanlinessResult(w, def.CleanlinessCheck.resultFouled); });
    });
    w.close();
    gIndentLevelForWriteJsonP = savedLevel;
    return out.take();
}
