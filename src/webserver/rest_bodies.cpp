#include "webserver/rest_bodies.h"

#include <cmath>
#include <limits>

namespace {

using json_detail::Cursor;

template <class T>
void readKey(T& field, std::string_view object, const char* key) {
    readJsonP(field, findJsonKeyP(object, key));
}

// ---- writer frame ----

struct Obj {
    Cursor& c;
    bool first = true;

    void member(const char* key) {
        if (!first) c.put(std::string_view(",\n"));
        first = false;
        c.indent(gIndentLevelForWriteJsonP);
        c.key(key);
    }
    void integer(const char* key, long long v) {
        member(key);
        c.integer(v);
    }
    void real(const char* key, float v) {
        member(key);
        c.real(v);
    }
    void text(const char* key, const char* v) {
        member(key);
        c.text(v);
    }
    void boolean(const char* key, bool v) {
        member(key);
        c.boolean(v);
    }
    // "key":[ newline, count elements separated by ",\n", "]"
    template <class Elem>
    void array(const char* key, int count, Elem&& elem) {
        member(key);
        openArray(c, count, elem);
    }

    template <class Elem>
    static void openArray(Cursor& c, int count, Elem& elem) {
        int& level = gIndentLevelForWriteJsonP;
        c.put(std::string_view("[\n"));
        ++level;
        for (int i = 0; i < count && !c.overflow(); ++i) {
            if (i) c.put(std::string_view(",\n"));
            c.indent(level);
            elem(i);
        }
        --level;
        c.put(']');
    }
};

// An object at the current level: "name":{ or {, members one level deeper, "}".
template <class Body>
void object(Cursor& c, const char* name, bool indentFirst, Body&& body) {
    int& level = gIndentLevelForWriteJsonP;
    if (indentFirst) c.indent(level);
    c.key(name);
    c.put(std::string_view("{\n"));
    ++level;
    Obj o{c};
    body(o);
    --level;
    c.put('}');
}

// The public writer: the object at the current level.
template <class Body>
int writeObject(char* dst, int room, const char* name, Body&& body) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) { object(c, name, true, body); });
}

void floatArray(Obj& o, const char* key, const float* values, int count) {
    o.array(key, count, [&](int i) { o.c.real(values[i]); });
}

}  // namespace

// ---- request bodies -------------------------------------------------------------------------

std::string_view restBodyObject(std::string_view body) { return extractJsonBlockP(body, '{'); }

bool restBodyDisables(std::string_view body) {
    const std::string_view v = ltrimJsonP(findJsonKeyP(restBodyObject(body), "enable"));
    if (v.empty()) return false;
    return !(v.substr(0, 4) == "true" || v.substr(0, 4) == "True");
}

void readJsonP(ProbeIndexPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) pack = ProbeIndexPack{};
    readKey(pack.idxMeasure, o, "idxMeasure");
}

void readJsonP(CalbCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) pack = CalbCmdPack{.probeId = 0xffffffffu, .idxCal = 0, .solution = 0.0f};
    readKey(pack.probeId, o, "idxMeasure");
    readKey(pack.idxCal, o, "idxCal");
    readKey(pack.solution, o, "solution");
}

void readJsonP(ReplaceProbeCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.oldPN, o, "oldPN");
    readKey(pack.oldSN, o, "oldSN");
    readKey(pack.newPN, o, "newPN");
    readKey(pack.newSN, o, "newSN");
    readKey(pack.newModbusAddr, o, "newModbusAddr");
}

void readJsonP(ConfigCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) {
        ConfigCmdPack reset;
        reset.probeId = 0xffffffffu;
        reset.param = -1;
        reset.value = 0.0f;
        reset.cmdType = 0;
        reset.newAddr = -1;
        reset.curAddr = -1;
        reset.reserved = 0;
        reset.resultAddr = pack.resultAddr;
        reset.resultPN = pack.resultPN;
        pack = reset;
    }
    readKey(pack.probeId, o, "idxMeasure");
    readKey(pack.param, o, "idxConfig");
    readKey(pack.value, o, "data");
    readKey(pack.custName, o, "custName");
    readKey(pack.cmdType, o, "type");
    readKey(pack.newAddr, o, "newAddr");
    readKey(pack.curAddr, o, "oldAddr");
    readKey(pack.reserved, o, "pn");
    readKey(pack.mA_4, o, "ma_4");
    readKey(pack.mA_20, o, "ma_20");
}

int readJsonP(ChangeAddrBatch& batch, std::string_view body) {
    batch = ChangeAddrBatch{};
    return forEachJsonArrayElementP(body, static_cast<int>(kChangeAddrBatchSize), [&](int i, std::string_view e) {
        const std::string_view o = restBodyObject(e);
        ChangeAddrItemPack& item = batch[static_cast<size_t>(i)];
        readKey(item.addr, o, "modbusAddr");
        readKey(item.newAddr, o, "modbusAddrNew");
        readKey(item.pn, o, "PN");
    });
}

void readJsonP(AddControllerOutputPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.controllerIndex, o, "controllerIndex");
    readKey(pack.inputIndex, o, "inputIndex");
    readKey(pack.dataType, o, "dataType");
    readKey(pack.dataIndex, o, "dataIndex");
    readKey(pack.loraRegIndex, o, "loraRegIndex");
}

void readJsonP(AuthCommand& cmd, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(cmd.name, o, "name");
    readKey(cmd.password, o, "password");
    readKey(cmd.newPassword, o, "newPassword");
    readKey(cmd.pwdMD5, o, "pwdMD5");
    readKey(cmd.newPwdMD5, o, "newPwdMD5");
    readKey(cmd.cmdType, o, "cmdType");
}

void readJsonP(LogQueryPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.type, o, "type");
    readKey(pack.limit, o, "limit");
    readKey(pack.startTime, o, "startTime");
    readKey(pack.endTime, o, "endTime");
}

void readControlLoopBody(LoopRecipeVariant& row, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    readJsonP(row, o);  // a "type" chooses the kind (a new kind starts from its default)
    if (restBodyDisables(o)) {
        std::visit(
            [](auto& rec) {
                using T = std::decay_t<decltype(rec)>;
                rec = T{};
                rec.id = 0;
                rec.type = 0;
            },
            row);
    }
    std::visit([&](auto& rec) { readJsonP(rec, o); }, row);  // the kind's keys
}

// ---- response bodies ------------------------------------------------------------------------

int writeJsonP(const SystemLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("Uptime", v.Uptime);
        o.real("CpuUsage", v.CpuUsage);
        o.integer("MemUsed", v.MemUsed);
        o.real("MemUsage", v.MemUsage);
        o.integer("DiskUsed", v.DiskUsed);
        o.real("DiskUsage", v.DiskUsage);
        o.real("Temperature", v.Temperature);
        o.text("timestamp", v.timestamp.c_str());
        o.integer("HMICommand", v.HMICommand);
        o.integer("DbDiskUsed", v.DbDiskUsed);
        o.real("DbDiskUsage", v.DbDiskUsage);
        o.boolean("Connected", v.Connected);
    });
}

int writeJsonP(const LteLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("lte_rssi", v.lte_rssi);
        o.integer("lte_rsrp", v.lte_rsrp);
        o.integer("lte_sinr", v.lte_sinr);
        o.integer("lte_rsrq", v.lte_rsrq);
        o.text("carrier", v.carrier.c_str());
        o.text("imsi", v.imsi.c_str());
        o.text("ip", v.ip.c_str());
        o.text("gateway", v.gateway.c_str());
        o.real("dataUsageCycleRxMB", v.dataUsageCycleRxMB);
        o.real("dataUsageCycleTxMB", v.dataUsageCycleTxMB);
        o.real("dataUsageTotalRxMB", v.dataUsageTotalRxMB);
        o.real("dataUsageTotalTxMB", v.dataUsageTotalTxMB);
    });
}

int writeJsonP(const AnalogLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.array("reading", kAnalogInputs, [&](int i) {
            const AnalogLiveItem& it = v.items[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("id", it.id);
                e.real("raw", it.raw);
                e.real("val", it.val);
                e.integer("status", it.status);
                e.c.put(' ');
            });
        });
    });
}

int writeJsonP(const LoraLiveData& v, char* dst, int room, const char* name) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) {
        int used[kLoraSlots];
        int n = 0;
        for (int i = 0; i < kLoraSlots; ++i)
            if (v.items[static_cast<size_t>(i)].id != 0) used[n++] = i;
        c.indent(gIndentLevelForWriteJsonP);
        c.key(name);
        auto device = [&](int k) {
            const LoraLiveDataItem& d = v.items[static_cast<size_t>(used[k])];
            object(c, nullptr, false, [&](Obj& o) {
                o.text("name", d.cust_name.c_str());
                o.integer("id", d.id);
                o.text("uid", d.uid.c_str());
                int regs[kLoraRegs];
                int m = 0;
                for (int r = 0; r < kLoraRegs; ++r)
                    if (!d.regs[static_cast<size_t>(r)].name.empty()) regs[m++] = r;
                o.array("values", m, [&](int j) {
                    const LoraRegLive& reg = d.regs[static_cast<size_t>(regs[j])];
                    object(c, nullptr, false, [&](Obj& e) {
                        e.text("name", reg.name.c_str());
                        e.text("unit", reg.unit.c_str());
                        e.real("value", reg.value);
                        e.integer("timestamp", d.timestamp);
                    });
                });
            });
        };
        Obj::openArray(c, n, device);
    });
}

int writeJsonP(const ControllerLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        auto blocks = [&](const char* key, const std::array<ControllerBlock, kControllers>& list) {
            o.array(key, kControllers, [&](int i) {
                const ControllerBlock& b = list[static_cast<size_t>(i)];
                object(o.c, nullptr, false, [&](Obj& e) {
                    e.integer("id", b.id);
                    floatArray(e, "values", b.values.data(), kControllerValues);
                });
            });
        };
        blocks("inputs", v.inputs);
        blocks("outputs", v.outputs);
        o.array("connected", kControllers, [&](int i) { o.c.boolean(v.connected[static_cast<size_t>(i)]); });
    });
}

int writeJsonP(const ScanProbeStatus& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("errorCode", v.scanState);
        o.integer("progress", v.scanProgress);
        o.array("scanResult", static_cast<int>(v.results.size()), [&](int i) {
            const ProbeScanResultItem& r = v.results[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("pn", r.pn);
                e.integer("sn", r.sn);
                e.integer("modbusAddr", r.modbusAddr);
                e.integer("modbusDfltAddr", r.suggestedAddr);
            });
        });
    });
}

int writeJsonP(const ProbeChangeAddrResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("progressPct", v.status);
        o.array("items", static_cast<int>(v.items.size()), [&](int i) {
            const auto& it = v.items[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("modbusAddr", it.modbusAddr);
                e.integer("status", it.status);
            });
        });
    });
}

int writeJsonP(const AuthResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.text("name", v.name.c_str());
        o.integer("cmdType", v.cmdType);
        o.boolean("success", v.success);
        o.text("msg", v.msg.c_str());
        o.integer("role", v.role);
        o.text("token", v.token.c_str());
    });
}

int writeJsonP(const ProbeValueAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("id", v.id);
        o.text("name", v.name.c_str());
        o.real("value", v.value);
        o.text("unit", v.unit.c_str());
        o.real("warn_low", v.warn_low);
        o.real("warn_high", v.warn_high);
    });
}

int writeJsonP(const LogQueryResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        const int rows = static_cast<int>(std::min<uint32_t>(v.timestamp.count, kLogQueryMaxRows));
        o.array("timestamp", rows, [&](int i) { o.c.integer(v.timestamp[static_cast<size_t>(i)]); });
        for (int k = 0; k < kLogVarCount; ++k) {
            char key[8] = {'v', 'a', 'r', 0, 0, 0, 0, 0};
            if (k < 10) {
                key[3] = static_cast<char>('0' + k);
            } else {
                key[3] = static_cast<char>('0' + k / 10);
                key[4] = static_cast<char>('0' + k % 10);
            }
            const auto& series = v.var(static_cast<size_t>(k));
            const int n = static_cast<int>(std::min<uint32_t>(series.count, kLogQueryMaxRows));
            floatArray(o, key, series.data.data(), n);
        }
    });
}

int writeJsonP(const RegAddrAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) { o.integer("regAddr", v.regAddr); });
}

int writeJsonP(const UpgradeStatusAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.real("progress", v.progress);
        o.integer("error_code", v.error_code);
        o.text("error_msg", v.error_msg.c_str());
    });
}
