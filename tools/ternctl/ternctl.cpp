// ternctl: asks the running updater, through its local update service, for its state, result
// and progress, or asks it to stop.
//
// Exit status: 0 done, 1 no updater runs, 2 the service answered wrongly or not in time, or the
// command line is wrong, 3 (result only) the run has not ended yet.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "platform/console.h"
#include "updatelib/service/update_service_client.h"

namespace {

using Tern::ProgressSnapshot;
using Tern::ServiceAnswer;
using Tern::ServiceError;
using Tern::ServiceFailure;

constexpr int kSuccess = 0;
constexpr int kNotRunning = 1;
constexpr int kFailure = 2;
constexpr int kRunning = 3;
constexpr std::chrono::milliseconds kWatchInterval{250};

const char kUsage[] =
    "usage: ternctl <command> [--raw]\n"
    "Asks the running updater through its local update service.\n"
    "\n"
    "commands:\n"
    "  state             the engine's state number and its meaning (5: the run has ended)\n"
    "  result            the run's result code and its meaning, or \"running\" before its end\n"
    "  progress          the progress figures, in bytes and percent\n"
    "  progress --watch  one progress line, redrawn until the run ends\n"
    "  stop              asks the updater to stop\n"
    "  --help            this text\n"
    "--raw prints the bare numbers, one per line, for programs.\n"
    "\n"
    "exit status: 0 done, 1 no updater is running, 2 error,\n"
    "3 the run has not ended (result only)\n";

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

// "<part><separator><whole><unit> (<percent>%)", or "<part><unit>" while the whole is unknown.
std::string Share(double part, double whole, const char* separator, const char* unit) {
    if (whole <= 0.0) return Figure(part) + unit;
    char text[96];
    std::snprintf(text, sizeof text, "%s%s%s%s (%.0f%%)", Figure(part).c_str(), separator,
                  Figure(whole).c_str(), unit, 100.0 * part / whole);
    return text;
}

// Short enough to be redrawn on one line.
std::string CompactShare(double part, double whole) { return Share(part, whole, "/", ""); }

std::string Bytes(double received, double size) { return Share(received, size, " of ", " bytes"); }

// "<number> <meaning>", or the bare number when `raw`.
void PrintNumber(int32_t number, const char* meaning, bool raw) {
    if (raw) {
        std::printf("%d\n", number);
    } else {
        std::printf("%d %s\n", number, meaning);
    }
}

int PrintState(Tern::UpdateServiceClient& client, bool raw) {
    const ServiceAnswer<int32_t> state = client.State();
    if (!state) return Report(state.Error());
    PrintNumber(state.Value(), Tern::StateMeaning(state.Value()), raw);
    return kSuccess;
}

// The result is final only once the run has ended: before, the code it holds says nothing yet.
int PrintResult(Tern::UpdateServiceClient& client, bool raw) {
    const ServiceAnswer<int32_t> state = client.State();
    if (!state) return Report(state.Error());
    const ServiceAnswer<int32_t> result = client.Result();
    if (!result) return Report(result.Error());
    const bool ended = state.Value() == Tern::kRunEndedState;
    if (ended || raw) {
        PrintNumber(result.Value(), Tern::ResultMeaning(result.Value()), raw);
    } else {
        std::printf("running: %s\n", Tern::StateMeaning(state.Value()));
    }
    return ended ? kSuccess : kRunning;
}

int PrintProgress(Tern::UpdateServiceClient& client, bool raw) {
    const ServiceAnswer<ProgressSnapshot> answer = client.Progress();
    if (!answer) return Report(answer.Error());
    const ProgressSnapshot& progress = answer.Value();
    if (raw) {
        std::printf("total bytes: %s\n", Figure(progress.totalBytes).c_str());
        std::printf("total received: %s\n", Figure(progress.totalReceived).c_str());
        std::printf("file bytes: %s\n", Figure(progress.fileBytes).c_str());
        std::printf("file received: %s\n", Figure(progress.fileReceived).c_str());
        std::printf("update count: %u\n", progress.updateCount);
        std::printf("update index: %u\n", progress.updateIndex);
    } else {
        std::printf("total: %s\n", Bytes(progress.totalReceived, progress.totalBytes).c_str());
        std::printf("file: %s\n", Bytes(progress.fileReceived, progress.fileBytes).c_str());
        std::printf("update: %u of %u\n", progress.updateIndex, progress.updateCount);
    }
    std::printf("url: %s\n", progress.url.c_str());
    std::printf("description: %s\n", progress.description.c_str());
    return kSuccess;
}

void DrawProgressLine(const ProgressSnapshot& progress) {
    std::printf("\rupdate %u/%u  file %s  total %s  %s\033[K", progress.updateIndex,
                progress.updateCount,
                CompactShare(progress.fileReceived, progress.fileBytes).c_str(),
                CompactShare(progress.totalReceived, progress.totalBytes).c_str(),
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
        if (sample.Value().state == Tern::kRunEndedState) {
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
    // Programs read the same lines on every system, and the watched line is redrawn on a console.
    platform::UseStandardOutputAsWritten();
    const std::string command = argc > 1 ? argv[1] : "";
    const std::string option = argc == 3 ? argv[2] : "";
    if (command == "--help" || command == "-h") return Usage(stdout, kSuccess);
    const bool watch = command == "progress" && option == "--watch";
    const bool raw = command != "stop" && option == "--raw";
    if (argc != 2 && !watch && !raw) return Usage(stderr, kFailure);

    Tern::UpdateServiceClient client;
    if (command == "state") return PrintState(client, raw);
    if (command == "result") return PrintResult(client, raw);
    if (command == "progress") return watch ? WatchProgress(client) : PrintProgress(client, raw);
    if (command == "stop") return Stop(client);
    return Usage(stderr, kFailure);
}
