// orvane-scada: the gateway program.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/atomic_file.h"
#include "scada.h"
#include "scada_paths.h"
#include "utils/log.h"
#include "utils/utility.h"
#include "recipe/recipe_data.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0 || std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", kSoftwareVersion);
            return 0;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    try {
        Utility::configLog(scada_paths::LOG_FILE(), 0, false);
    } catch (const std::exception& e) {
        // Without a log file the gateway still runs; lines go nowhere.
        std::fprintf(stderr, "cannot open log file %s: %s\n", scada_paths::LOG_FILE().c_str(), e.what());
    }
    // Temporary files of saves that a crash or power cut interrupted go before the first save.
    std::vector<std::string> leftovers;
    for (const std::string& dir : scada_paths::SAVED_FILE_DIRS())
        for (std::string& path : orvane::platform::removeInterruptedSaves(dir)) leftovers.push_back(std::move(path));
    loadLogConfig();
    for (const std::string& path : leftovers) SLOG_WARN(SCADA, "Removed {}, left by an interrupted save", path);

    SPDLOG_INFO("scada starts!");
    SPDLOG_INFO("config file size: {}", Utility::getFileLength(scada_paths::CONFIG_FILE()));

    try {
        Scada* scada = Scada::getInstance();
        scada->init();
        scada->exitProcess(1);
    } catch (const std::exception& e) {
        // A start that fails says why at any level, then ends with its own status.
        SPDLOG_ERROR("start-up failed: {}. exit", e.what());
    } catch (...) {
        SPDLOG_ERROR("start-up failed. exit");
    }
    if (auto l = spdlog::default_logger()) l->flush();
    std::fflush(stdout);
    std::_Exit(2);
}
