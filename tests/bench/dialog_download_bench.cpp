// A 256 MiB patch fetched from nginx on 127.0.0.1 by a whole update run: through the launcher's
// real window (offscreen, in this process, run the way the launcher runs it) against a bare host
// that shows nothing. Both runs get the same answer announcing the patch, download it, verify
// its checksum and are told not to run it; each is timed from the start of its run to its end.
// The window finds its texts beside this program (bin/Resources).
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QEventLoop>

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_host.h"
#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"
#include "updatelib/transfer/patch_checksum.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPatchBytes = size_t{256} << 20;
constexpr int kRounds = 5;
const char* const kGameId = "skyreach-eu";

// Answers the update-information request, whatever its host, with the patch below the root.
std::string PatchAnswerLocation(uint32_t checksum) {
    const std::string answer =
        "<RESPONSE><PatchSize><VALUE>" + std::to_string(kPatchBytes) +
        "</VALUE></PatchSize><PatchUrl><VALUE>http://cdn.norland.example/patch.bin</VALUE>"
        "</PatchUrl><PatchCRC><VALUE>" +
        Tern::ChecksumText(checksum) + "</VALUE></PatchCRC></RESPONSE>";
    return "    location = /MatchMakingConfig.aspx {\n      return 200 \"" + answer +
           "\";\n    }\n";
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

class BareHost : public tern_bench::QuietHost {
public:
    void OnFinished(int32_t result) override {
        finishedAt = Clock::now();
        QuietHost::OnFinished(result);
    }
    Clock::time_point finishedAt;
};

// The launcher's update host with its real window, noting when its update run started and
// when it ended.
class TimedHost : public launcher::LauncherHost {
public:
    TimedHost()
        : LauncherHost([](launcher::WindowOwner& owner, const launcher::WindowTexts& texts) {
              return std::unique_ptr<launcher::LauncherWindow>(
                  CreateLauncherWindow(&owner, &texts));
          }) {}
    void StartUpdateRun() override {
        startedAt = Clock::now();
        LauncherHost::StartUpdateRun();
    }
    void OnFinished(int32_t result) override {
        finishedAt = Clock::now();
        LauncherHost::OnFinished(result);
    }
    Clock::time_point startedAt;
    Clock::time_point finishedAt;
};

// Every run works in a fresh environment, since a patch that an earlier run downloaded would
// count as done. Seconds of a run that downloaded and verified the patch; -1 for any other run.
double BareRun(int serverPort) {
    tern_test::IsolatedEnv runEnvironment;
    tern_bench::UseLoopbackProxy(serverPort);
    BareHost host;
    const Clock::time_point start = Clock::now();
    host.RunUpdate(kGameId, launcher::UpdateKeyPath());
    host.Stop();
    const bool downloaded = host.GetResult() == Tern::kUpdateOk && host.RunQuestions() == 1;
    return downloaded ? Seconds(host.finishedAt - start) : -1.0;
}

double DialogRun(int serverPort) {
    tern_test::IsolatedEnv runEnvironment;
    tern_bench::UseLoopbackProxy(serverPort);
    if (!tern_bench::WriteLauncherInstallation(kGameId)) return -1.0;
    launcher::Settings() = launcher::LaunchSettings();
    launcher::Settings().executableName = TERN_START_STAMP_GAME;
    std::vector<launcher::MessageBoxRequest> boxes;
    int32_t result = -1;
    Clock::duration runTime{};
    {
        TimedHost host;
        // The player answers the question whether to run the downloaded patch with No.
        host.messageBox = [&boxes](const launcher::MessageBoxRequest& request) {
            boxes.push_back(request);
            return false;
        };
        tern_bench::QuietStderr quiet;
        host.Create();
        host.RunMainLoop();
        result = host.GetResult();
        host.WaitForThreads([&host] { QCoreApplication::processEvents(); });
        runTime = host.finishedAt - host.startedAt;
    }
    const bool downloaded = result == Tern::kUpdateOk && boxes.size() == 1 &&
                            boxes[0].buttons == launcher::MessageButtons::YesNo;
    if (!downloaded) return -1.0;
    // The game the window started at the end; nginx is the only other child.
    waitpid(-1, nullptr, 0);
    return Seconds(runTime);
}

}  // namespace

int main(int argc, char** argv) {
    tern_test::IsolatedEnv env;
    const std::string root = env.Root() + "/www";
    std::filesystem::create_directories(root);
    tern_bench::WriteLargeFile(root + "/patch.bin", kPatchBytes);
    const std::optional<uint32_t> checksum = Tern::ChecksumOfFile(root + "/patch.bin");
    if (!checksum) {
        std::fprintf(stderr, "bench: the patch could not be read back\n");
        return 1;
    }
    tern_bench::LocalNginx nginx(env.Root() + "/nginx", root, PatchAnswerLocation(*checksum));
    if (!nginx.Start()) return 1;

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    // As in the launcher: only the window's quit request ends the message loop.
    application.setQuitOnLastWindowClosed(false);

    // Warms the server, the page cache and the window's first painting.
    BareRun(nginx.Port());
    DialogRun(nginx.Port());
    std::vector<double> bare;
    std::vector<double> dialog;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(BareRun(nginx.Port()));
        dialog.push_back(DialogRun(nginx.Port()));
    }
    for (const std::vector<double>* figures : {&bare, &dialog}) {
        for (double seconds : *figures) {
            if (seconds < 0) {
                std::fprintf(stderr, "bench: a run did not download and verify the patch\n");
                return 1;
            }
        }
    }

    const double mebibytes = kPatchBytes / 1048576.0;
    const double bareSeconds = tern_bench::Median(bare);
    const double dialogSeconds = tern_bench::Median(dialog);
    std::printf("BENCH dialog_download_vs_bare %.2f ratio\n", bareSeconds / dialogSeconds);
    std::printf(
        "  window %.0f MiB/s, bare host %.0f MiB/s over whole runs (median of %d rounds, %.0f "
        "MiB patch, checksum and the engine's pauses included)\n",
        mebibytes / dialogSeconds, mebibytes / bareSeconds, kRounds, mebibytes);
    std::printf("  seconds per run: window %s; bare host %s\n",
                tern_bench::FigureList(dialog, 3).c_str(), tern_bench::FigureList(bare, 3).c_str());
    return 0;
}
