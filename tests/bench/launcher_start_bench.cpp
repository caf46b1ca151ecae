// The time from starting UpgradeLauncher to the start of the game when the update service
// announces no patch, against starting the game directly. The launcher is a copy in a
// directory of its own with its texts and the game (named by the string table) beside it, as an
// installation has them, the installation's values are in the machine hive, and nginx on
// 127.0.0.1, reached as the proxy, answers the update-information request. The game writes the
// moment it began running (start_stamp_game.cpp).
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"

namespace {

constexpr int kRuns = 10;
const char* const kGameId = "skyreach-eu";
// The request line the launcher's update-information request arrives with at the proxy, and
// the start of the log entry's status and size: 200 with the 21 bytes of the answer.
const char* const kServedAnswer =
    "/MatchMakingConfig.aspx?action=g_guc&gid=skyreach-eu&locale=en-US HTTP/1.1\" 200 21 ";

// Answers the update-information request, whatever its host, with no patch, and logs it.
std::string NoUpdateLocation(const std::string& logPath) {
    return "    location = /MatchMakingConfig.aspx {\n      access_log " + logPath +
           ";\n      return 200 \"<RESPONSE></RESPONSE>\";\n    }\n";
}

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The start time the game wrote into `stampPath`, once it is there; nullopt when none came.
std::optional<int64_t> GameStartStamp(const std::string& stampPath) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const std::string text = tern_test::ReadFileBytes(stampPath);
        if (!text.empty() && text.back() == '\n') return std::stoll(text);
        if (std::chrono::steady_clock::now() > limit) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Milliseconds from starting `program` to the start the game recorded; -1 when the program
// failed or no game start was recorded. The launcher may end before its game has run.
double MillisecondsToGameStart(const std::string& program, const std::string& stampPath) {
    std::filesystem::remove(stampPath);
    const int64_t started = MonotonicNanoseconds();
    if (tern_bench::RunQuietly({program}) != 0) return -1.0;
    const std::optional<int64_t> gameStarted = GameStartStamp(stampPath);
    return gameStarted ? static_cast<double>(*gameStarted - started) / 1e6 : -1.0;
}

size_t ServedAnswers(const std::string& logPath) {
    std::istringstream log(tern_test::ReadFileBytes(logPath));
    size_t count = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find(kServedAnswer) != std::string::npos) ++count;
    }
    return count;
}

// The launcher's files as an installation has them, below `directory`.
void InstallLauncher(const std::string& directory) {
    namespace fs = std::filesystem;
    fs::create_directories(directory + "/Resources/us");
    fs::copy_file(TERN_LAUNCHER_PROGRAM, directory + "/UpgradeLauncher");
    fs::copy_file(TERN_LAUNCHER_TEXTS, directory + "/Resources/us/GameUpdate.us");
    fs::copy_file(TERN_START_STAMP_GAME, directory + "/" TERN_GAME_BASE ".exe");
}

}  // namespace

int main() {
    tern_test::IsolatedEnv env;
    const std::string appDirectory = env.Root() + "/app";
    InstallLauncher(appDirectory);
    if (!tern_bench::WriteLauncherInstallation(kGameId)) {
        std::fprintf(stderr, "bench: the installation's registry values were not written\n");
        return 1;
    }
    const std::string answerLog = env.Root() + "/answers.log";
    tern_bench::LocalNginx nginx(env.Root() + "/nginx", env.Root() + "/www",
                                 NoUpdateLocation(answerLog));
    if (!nginx.Start()) return 1;
    tern_bench::UseLoopbackProxy(nginx.Port());
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string stampPath = env.Root() + "/game_start";
    setenv("TERN_BENCH_START_STAMP", stampPath.c_str(), 1);

    const std::string launcher = appDirectory + "/UpgradeLauncher";
    const std::string game = appDirectory + "/" TERN_GAME_BASE ".exe";
    // Warms the page cache with the launcher's libraries and the game.
    MillisecondsToGameStart(launcher, stampPath);
    MillisecondsToGameStart(game, stampPath);
    std::vector<double> throughLauncher;
    std::vector<double> direct;
    for (int run = 0; run < kRuns; ++run) {
        throughLauncher.push_back(MillisecondsToGameStart(launcher, stampPath));
        direct.push_back(MillisecondsToGameStart(game, stampPath));
    }
    for (const std::vector<double>* figures : {&throughLauncher, &direct}) {
        for (double milliseconds : *figures) {
            if (milliseconds < 0) {
                std::fprintf(stderr, "bench: a start did not reach the game\n");
                return 1;
            }
        }
    }
    if (ServedAnswers(answerLog) != kRuns + 1) {
        std::fprintf(stderr, "bench: not every launcher got the no-update answer (see %s)\n",
                     answerLog.c_str());
        return 1;
    }

    const double launcherMs = tern_bench::Median(throughLauncher);
    std::printf("BENCH start_no_update %.1f ms\n", launcherMs);
    std::printf("BENCH start_game_directly %.1f ms\n", tern_bench::Median(direct));
    std::printf("  medians of %d starts; %.1f ms beyond the engine's three 25 ms pauses\n", kRuns,
                launcherMs - 75.0);
    std::printf("  ms per start: launcher %s; directly %s\n",
                tern_bench::FigureList(throughLauncher, 1).c_str(),
                tern_bench::FigureList(direct, 1).c_str());
    return 0;
}
