// probe-sim: a simulated RS-485 probe bus on a pseudo-terminal, for trying the gateway without
// hardware. Each definition file becomes one probe at its factory address (or FILE@ADDRESS);
// its readings drift slowly around their start values. Point the gateway's RS-485 device at the
// printed path (or at the --link symlink). Ctrl-C ends it.
//
//   probe-sim [--dir DIR] [--link PATH] [--value NAME=VALUE]... [--verbose] [FILE[@ADDRESS]]...
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sensors/probe_meta.h"
#include "support/probe_bus_sim.h"
#include "support/probe_sim_meta.h"
#include "support/temp_dir.h"

namespace {

std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }

void usage() {
    std::fprintf(stderr,
                 "usage: probe-sim [--dir DIR] [--link PATH] [--value NAME=VALUE]... [--verbose] [FILE[@ADDRESS]]...\n"
                 "  FILE       a probe-definition file (JSON); the probe answers at its \"ModbusAddr\" or at ADDRESS\n"
                 "  --dir      add every *.json definition of DIR\n"
                 "  --link     create a symbolic link PATH to the simulated serial device\n"
                 "  --value    start value of the readings named NAME (default 1.0)\n"
                 "  --verbose  print every frame\n");
}

struct SimProbe {
    int addr = 0;
    std::unique_ptr<ProbeMeta> meta;
};

bool validAddress(long a) { return a >= 1 && a <= 247; }

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    std::string link;
    std::map<std::string, float> values;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--dir") {
            std::error_code ec;
            std::vector<std::string> found;
            for (const auto& e : std::filesystem::directory_iterator(next(), ec))
                if (e.path().extension() == ".json") found.push_back(e.path().string());
            if (ec) {
                std::fprintf(stderr, "probe-sim: cannot list the directory\n");
                return 2;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (a == "--link") {
            link = next();
        } else if (a == "--value") {
            std::string nv = next();
            auto eq = nv.find('=');
            if (eq == std::string::npos || eq == 0) {
                usage();
                return 2;
            }
            values[nv.substr(0, eq)] = std::strtof(nv.c_str() + eq + 1, nullptr);
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            usage();
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        usage();
        return 2;
    }

    orvane::test::ProbeBusSim bus;
    std::vector<SimProbe> probes;
    for (const std::string& spec : files) {
        std::string file = spec;
        long addr = 0;
        if (auto at = spec.rfind('@'); at != std::string::npos) {
            file = spec.substr(0, at);
            addr = std::strtol(spec.c_str() + at + 1, nullptr, 10);
            if (!validAddress(addr)) {
                std::fprintf(stderr, "probe-sim: %s: address must be 1..247\n", spec.c_str());
                return 2;
            }
        }
        auto meta = std::make_unique<ProbeMeta>();
        std::string text;
        try {
            text = orvane::test::readFile(file);
        } catch (...) {
            text.clear();
        }
        if (!readJson(std::string_view(text), *meta) || meta->PN == 0) {
            std::fprintf(stderr, "probe-sim: %s: not a probe definition\n", file.c_str());
            return 2;
        }
        if (addr == 0) addr = meta->ModbusAddr;
        while (!validAddress(addr) || bus.hasProbe(static_cast<int>(addr))) addr = validAddress(addr) ? addr + 1 : 1;
        orvane::test::SimProbeValues v;
        v.serial = 1000000u + static_cast<uint32_t>(probes.size());
        for (const ReadingItem& r : meta->Readings) {
            auto it = values.find(r.Name.str());
            v.readings[r.Name.str()] = it == values.end() ? 1.0f : it->second;
        }
        orvane::test::addSimProbe(bus, static_cast<int>(addr), *meta, v);
        std::printf("probe %s (PN %lld) at address %ld\n", meta->ModelName.c_str(), static_cast<long long>(meta->PN), addr);
        probes.push_back(SimProbe{static_cast<int>(addr), std::move(meta)});
        for (const auto& [name, value] : v.readings) values.try_emplace(name, value);
    }
    if (!link.empty()) {
        std::filesystem::remove(link);
        std::error_code ec;
        std::filesystem::create_symlink(bus.devicePath(), link, ec);
        if (ec) std::fprintf(stderr, "probe-sim: cannot create %s\n", link.c_str());
    }
    std::printf("serial device: %s\n", bus.devicePath().c_str());
    std::fflush(stdout);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const auto start = std::chrono::steady_clock::now();
    size_t requests = 0;
    while (!gStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Readings drift by up to 2 % around their start values; probes that moved are skipped.
        for (const SimProbe& p : probes) {
            if (!bus.hasProbe(p.addr)) continue;
            const auto order = orvane::test::simFloatOrderOf(p.meta->DataFmt.str());
            for (const ReadingItem& r : p.meta->Readings) {
                if (r.RegAddress < 1 || (r.RegType.view() != "float" && r.RegType.view() != "FLOAT")) continue;
                const float base = values[r.Name.str()];
                bus.setFloat(p.addr, static_cast<uint32_t>(r.RegAddress), base * static_cast<float>(1.0 + 0.02 * std::sin(t / 30.0)), order);
            }
        }
        auto frames = bus.frames();
        requests += bus.requestCount();
        bus.clearFrames();
        if (verbose) {
            for (const auto& f : frames) {
                std::printf("%s", f.fromMaster ? "-> " : "<- ");
                for (uint8_t b : f.bytes) std::printf("%02X ", b);
                std::printf("\n");
            }
            std::fflush(stdout);
        }
    }
    if (!link.empty()) std::filesystem::remove(link);
    std::printf("requests: %zu, bytes on the line: %llu, bad frames: %d\n", requests + bus.requestCount(),
                static_cast<unsigned long long>(bus.bytesOnLine()), bus.badFrames());
    return 0;
}
