#include "scada.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <mutex>

#include <spdlog/spdlog.h>

#include "platform/clock.h"
#include "scada_paths.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

#include "exportvar.h"

using orvane::platform::Clock;

namespace {

// Shared with the SIGTERM handler: only async-signal-safe work happens there.
std::atomic<std::atomic<bool>*> g_exitFlag{nullptr};
int g_signalPipe[2] = {-1, -1};

constexpr char kWakeSignal = 1;
constexpr char kWakeQuit = 0;

}  // namespace

extern "C" void signal_callback(int) {
    int saved = errno;
    if (auto* flag = g_exitFlag.load()) flag->store(true);
    if (g_signalPipe[1] >= 0) {
        char c = kWakeSignal;
        (void)!::write(g_signalPipe[1], &c, 1);
    }
    errno = saved;
}

Scada* Scada::getInstance() {
    static Scada instance;
    return &instance;
}

RecipeDataGuard& RecipeDataGuard::getInstance() { return Scada::getInstance()->recipe(); }
LiveDataGuard& LiveDataGuard::getInstance() { return Scada::getInstance()->live(); }
VarEngine& VarEngine::getInstance() { return Scada::getInstance()->vars(); }
EnvGuard& EnvGuard::getInstance() { return Scada::getInstance()->env(); }

Scada::Scada() : Scada(Ports{}) {}

Scada::Scada(Ports ports)
    : live_(&recipe_),
      system_(recipe_, live_, env_),
      probe_(recipe_, live_, env_),
      lora_(recipe_, live_),
      socket_(recipe_, live_, db_),
      mbClient_(recipe_, live_, vars_),
      mbServer_(recipe_, live_, vars_, env_, ports.modbusServer),
      rest_(recipe_, live_, env_, vars_, db_),
      web_(ports.web, std::chrono::seconds(15), &rest_),
      cellular_(recipe_, live_, env_),
      vserial_(recipe_, env_, ports.virtualSerial),
      button_(scada_paths::RESET_BUTTON_DEVICE()),
      loops_(recipe_, live_),
      supervisor_(supervisorActions(), env_.exitFlag) {
    env_.setRecipe(recipe_);
    env_.attachLive(live_);
    RecipeHooks hooks;
    hooks.afterReload = [this] { env_.buildControllerOutputReference(); };
    hooks.bindProbes = [this](ProbeRecipeItems& items) { env_.updateProbeRefrence(items); };
    hooks.findRegByGroupIndex = [this](int group, int index) {
        return vars_.findRegByGroupIndex(static_cast<RegValType>(group), index);
    };
    recipe_.setHooks(std::move(hooks));

    SLOG_INFO(SCADA, " sizeof(Scada)=={}", sizeof(Scada));
    SLOG_INFO(SCADA, "    sizeof(ScadaLiveData) = {}", sizeof(ScadaLiveData));
    SLOG_INFO(SCADA, "    sizeof(ScadaRecipeData) = {}", sizeof(ScadaRecipeData));
}

Scada::~Scada() {
    stopComponents(std::chrono::seconds(3));
    for (auto& t : threads_)
        if (t.thread.joinable()) t.thread.detach();
    if (signalWatcher_.joinable()) {
        char c = kWakeQuit;
        (void)!::write(g_signalPipe[1], &c, 1);
        signalWatcher_.join();
    }
    std::atomic<bool>* mine = &env_.exitFlag;
    g_exitFlag.compare_exchange_strong(mine, nullptr);
}

SupervisorActions Scada::supervisorActions() {
    SupervisorActions a;
    a.guardPort = [this] {
        std::lock_guard lock(recipe_.mutex);
        return static_cast<int>(recipe_.recipe.system.guardPort);
    };
    a.portInUse = [](int port) { return HardwareUtils::isPortInUse(port); };
    a.readHoldSeconds = [this](int ms) { return button_.readHoldSeconds(ms); };
    a.hardwarePasswordReset = [this] { env_.hardwarePasswordReset(); };
    a.saveHistory = [this] { db_.trySaveLog([this] { return live_.getDataCell(); }); };
    a.broadcastControllerOutputs = [this] {
        if (auto refs = env_.getControllerOutputRefs()) live_.broadcastToControllerOutput(*refs);
    };
    return a;
}

void Scada::registerVariables() {
    vars_.attachStore(RegOwner::RECIPE, &recipe_.recipe, sizeof(ScadaRecipeData), recipe_.mutex);
    vars_.attachLive(live_);
    try {
        fillAllVars({vars_, recipe_.recipe, live_.data(), mbServer_.hmi()});
    } catch (const std::exception& e) {
        // A registration that does not fit is a build fault; the gateway runs with what fitted.
        SLOG_ERROR(SCADA, "variable registration stopped: {}", e.what());
        vars_.sortRegTab();
    }
}

template <typename F>
void Scada::startThread(const char* name, F&& body) {
    trace(std::string("thread ") + name);
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([name, done, body = std::forward<F>(body)]() mutable {
        try {
            body();
        } catch (const std::exception& e) {
            SLOG_ERROR(SCADA, "{} ended with an exception: {}", name, e.what());
        } catch (...) {
            SLOG_ERROR(SCADA, "{} ended with an unknown exception", name);
        }
        done->store(true);
    });
    threads_.push_back({name, std::move(t), done});
}

void Scada::installSignalHandling() {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC) != 0) {
        g_signalPipe[0] = g_signalPipe[1] = -1;
    }
    g_exitFlag.store(&env_.exitFlag);
    if (g_signalPipe[0] >= 0 && !signalWatcher_.joinable()) {
        int readFd = g_signalPipe[0];
        signalWatcher_ = std::thread([readFd] {
            for (;;) {
                char c = kWakeQuit;
                ssize_t n = ::read(readFd, &c, 1);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0 || c == kWakeQuit) return;
                SLOG_WARN(SCADA, "Process is going down\n");  // an exit reason
                if (auto l = spdlog::default_logger()) l->flush();
                // The supervisor sees the flag at the end of its current or next pass.
                Clock::get().sleepFor(std::chrono::seconds(4));
            }
        });
    }
    struct sigaction sa {};
    sa.sa_handler = signal_callback;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
}

void Scada::startup() {
    SLOG_INFO(SCADA, "Port 80 is in use at beginning: {}", HardwareUtils::isPortInUse(80));
    const std::string configFile = scada_paths::CONFIG_FILE();
    SLOG_INFO(SCADA, "Config file size: {}", Utility::getFileLength(configFile));
    SLOG_INFO(SCADA, "Parameter file: {}", configFile);

    trace("init RecipeDataGuard");
    recipe_.loadWithMigration(configFile);
    recipe_.init();

    trace("init VarEngine");
    registerVariables();

    trace("init LiveDataGuard");
    live_.init();
    trace("init ProbeService");
    probe_.init();
    recipe_.buildReferenceForSensor();

    trace("init System");
    system_.init();
    trace("init Cellular");
    cellular_.init();
    trace("init MBTCPServer");
    mbServer_.init();

    trace("init ResetButtonReader");
    button_.open();

    trace("init LoopManager");
    loops_.init();

    trace("init WebServer");
    web_.init(scada_paths::WEB_ROOT_PATH());

    installSignalHandling();

    SLOG_INFO(SCADA, "Software Revision: {}", system_.swVer().c_str());

    startThread("System::startLoop", [this] { system_.startLoop(); });
    startThread("ProbeService::startLoop", [this] { probe_.startLoop(); });
    startThread("SocketServer::startLoop", [this] { socket_.startLoop(); });
    startThread("MBTCPClient::loop_thread", [this] { mbClient_.loop_thread(); });
    startThread("MBTCPServer::startLoop", [this] { mbServer_.startLoop(); });
    startThread("WebServer::startLoop", [this] { web_.startLoop(); });
    startThread("lora::Lora::loop_thread", [this] { lora_.loop_thread(); });
    startThread("Cellular::startLoop", [this] { cellular_.startLoop(); });
    startThread("virtual_serial::VirtualSerial::loop_thread", [this] { vserial_.loop_thread(); });

    supervisor_.start();
    trace("init DatabaseProxy");
    // Once the device manager publishes its health block, the database takes its disk figure
    // from there instead of measuring again.
    db_.setDiskUsageSource([this] {
        if (!system_.healthPublished()) return diskUsagePercent(db_.diskPath());
        std::lock_guard lock(live_.mutex());
        return live_.data().system.DbDiskUsage;
    });
    db_.init();
    // Trend queries are fast once the summary of the history is built: built on its own thread,
    // so the supervisor passes are not held up.
    db_.startTrendSummary();
}

int Scada::init() {
    startup();
    // Said once, at every log level and on standard output, when the web server, the Modbus TCP
    // server and the TCP-to-serial pass-through all listen.
    bool announced = false;
    for (;;) {
        if (!announced && web_.listeningPort() != 0 && mbServer_.port() != 0 && vserial_.port() != 0) {
            announced = true;
            SPDLOG_INFO("serving: web on port {}, Modbus TCP on port {}, serial pass-through on port {}",
                        web_.listeningPort(), mbServer_.port(), vserial_.port());
            std::printf("serving: web on port %d, Modbus TCP on port %d, serial pass-through on port %d\n",
                        static_cast<int>(web_.listeningPort()), mbServer_.port(), vserial_.port());
            std::fflush(stdout);
        }
        switch (supervisor_.runOnce()) {
            case Supervisor::Outcome::Continue:
                break;
            case Supervisor::Outcome::ExitRequested:
                return 1;
            case Supervisor::Outcome::GuardPortLost:
                exitProcess(0);
        }
    }
}

size_t Scada::runningThreads() const {
    size_t n = 0;
    for (auto& t : threads_)
        if (t.thread.joinable() && !t.done->load()) ++n;
    return n;
}

bool Scada::stopComponents(std::chrono::milliseconds bound) {
    system_.stop();
    probe_.stop();
    socket_.stop();
    mbClient_.stop();
    mbServer_.stop();
    web_.stop();
    lora_.stop();
    cellular_.stop();
    vserial_.stop();
    db_.stopTrendSummary();

    auto deadline = std::chrono::steady_clock::now() + bound;
    bool all = true;
    for (auto& t : threads_) {
        if (!t.thread.joinable()) continue;
        while (!t.done->load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (t.done->load()) {
            t.thread.join();
        } else {
            SLOG_ERROR(SCADA, "{} did not stop in time", t.name);
            all = false;
        }
    }
    return all;
}

void Scada::exitProcess(int status) {
    stopComponents(std::chrono::seconds(3));
    if (auto l = spdlog::default_logger()) l->flush();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}
