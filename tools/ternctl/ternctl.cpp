// ternctl: asks the running updater, through its local update service, for its state, result
// and progress, or asks it to stop.
//
// Exit status: 0 done, 1 no updater runs, 2 the service answered wrongly or not in time, or the
// command line is wrong.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "updatelib/service/update_service_client.h"

namespace {

using Tern::ProgressSnapshot;
using Tern::ServiceAnswer;
using Tern::ServiceError;
using Tern::ServiceFailure;

constexpr int kSuccess = 0;
constexpr int kNotRunning = 1;
constexpr int kFailure = 2;
// The engine state of a run that has ended.
constexpr int32_t kFinishedState = 5;
constexpr std::chrono::milliseconds kWatchInterval{250};

const char kUsage[] =
    "usage: ternctl <command>\n"
    "Asks the running updater through its local update service.\n"
    "\n"
    "commands:\n"
    "  state             the engine's state number (5: the run has ended)\n"
    "  result            the run's result code\n"
    "  progress          the progress figures, one per line\n"
    "  progress --watch  one progress line, redrawn until the run ends\n"
    "  stop              asks the updater to stop\n"
    "  --help            this text\n"
    "\n"
    "exit status: 0 done, 1 no updater is running, 2 error\n";

int Report(const ServiceFailure& failure) {
    if (failure.error == ServiceError::NotRunning) {
        std::fputs("ternctl: no updater is running\n", stderr);
        return kNotRunning;
    }
    const char* kind =
        failure.error == ServiceError::TimedOut ? "no answer in time" : "protocol error";
    std::fprintf(stderr, "ternctl: %s: %s\n", kind, failure.detail.c_str());
    return kFailure;
}

// Byte counts are whole numbers in practice; %g keeps them free of a fraction.
std::string Figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::string Share(double part, double whole) {
    if (whole <= 0.0) return Figure(part);
    char text[64];
    std::snprintf(text, sizeof text, "%s/%s (%.0f%%)", Figure(part).c_str(), Figure(whole).c_str(),
                  100.0 * part / whole);
    return text;
}

int PrintNumber(const ServiceAnswer<int32_t>& answer) {
    if (!answer) return Report(answer.Error());
    std::printf("%d\n", answer.Value());
    return kSuccess;
}

int PrintProgress(Tern::UpdateServiceClient& client) {
    const ServiceAnswer<ProgressSnapshot> answer = client.Progress();
    if (!answer) return Report(answer.Error());
    const ProgressSnapshot& progress = answer.Value();
    std::printf("total bytes: %s\n", Figure(progress.totalBytes).c_str());
    std::printf("total received: %s\n", Figure(progress.totalReceived).c_str());
    std::printf("file bytes: %s\n", Figure(progress.fileBytes).c_str());
    std::printf("file received: %s\n", Figure(progress.fileReceived).c_str());
    std::printf("update count: %u\n", progress.updateCount);
    std::printf("update index: %u\n", progress.updateIndex);
    std::printf("url: %s\n", progress.url.c_str());
    std::printf("description: %s\n", progress.description.c_str());
    return kSuccess;
}

void DrawProgressLine(const ProgressSnapshot& progress) {
    std::printf("\rupdate %u/%u  file %s  total %s  %s\033[K", progress.updateIndex,
                progress.updateCount, Share(progress.fileReceived, progress.fileBytes).c_str(),
                Share(progress.totalReceived, progress.totalBytes).c_str(),
                progress.description.c_str());
    std::fflush(stdout);
}

struct WatchSample {
    ProgressSnapshot progress;
    int32_t state;
};

ServiceAnswer<WatchSample> Sample(Tern::UpdateServiceClient& client) {
    ServiceAnswer<ProgressSnapshot> progress = client.Progress();
    if (!progress) return platform::MakeUnexpected(progress.Error());
    const ServiceAnswer<int32_t> state = client.State();
    if (!state) return platform::MakeUnexpected(state.Error());
    return WatchSample{std::move(progress.Value()), state.Value()};
}

// Ends when the run has ended or the service has gone; only a service missing from the start
// means that no updater is running.
int WatchProgress(Tern::UpdateServiceClient& client) {
    for (bool first = true;; first = false) {
        const ServiceAnswer<WatchSample> sample = Sample(client);
        if (!sample) {
            if (first) return Report(sample.Error());
            std::printf("\n");
            return sample.Error().error == ServiceError::NotRunning ? kSuccess
                                                                    : Report(sample.Error());
        }
        DrawProgressLine(sample.Value().progress);
        if (sample.Value().state == kFinishedState) {
            std::printf("\n");
            return kSuccess;
        }
        std::this_thread::sleep_for(kWatchInterval);
    }
}

int Stop(Tern::UpdateServiceClient& client) {
    const ServiceAnswer<std::monostate> answer = client.RequestStop();
    return answer ? kSuccess : Report(answer.Error());
}

int Usage(FILE* stream, int status) {
    std::fputs(kUsage, stream);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    const std::string option = argc > 2 ? argv[2] : "";
    if (command == "--help" || command == "-h") return Usage(stdout, kSuccess);
    const bool watch = command == "progress" && option == "--watch" && argc == 3;
    if (argc != 2 && !watch) return Usage(stderr, kFailure);

    Tern::UpdateServiceClient client;
    if (command == "state") return PrintNumber(client.State());
    if (command == "result") return PrintNumber(client.Result());
    if (command == "progress") return watch ? WatchProgress(client) : PrintProgress(client);
    if (command == "stop") return Stop(client);
    return Usage(stderr, kFailure);
}
