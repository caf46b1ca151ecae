#include "updatelib/install/http_downloader.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <ostream>

#include "platform/transfer_limits.h"
#include "updatelib/host/diagnostic_channel.h"
#include "updatelib/host/download_progress_observer.h"

namespace Tern {

namespace {

// Resume offsets of files beyond 4 GiB must survive ftell.
static_assert(sizeof(long) >= 8, "file offsets need 64 bits");

constexpr bool Same(TransferResult ours, CURLcode libcurl) {
    return static_cast<int>(ours) == static_cast<int>(libcurl);
}
static_assert(Same(kCouldntResolveProxy, CURLE_COULDNT_RESOLVE_PROXY) &&
                  Same(kCouldntResolveHost, CURLE_COULDNT_RESOLVE_HOST) &&
                  Same(kCouldntConnect, CURLE_COULDNT_CONNECT) &&
                  Same(kPartialFile, CURLE_PARTIAL_FILE) &&
                  Same(kHttpReturnedError, CURLE_HTTP_RETURNED_ERROR) &&
                  Same(kWriteError, CURLE_WRITE_ERROR) &&
                  Same(kOperationTimedOut, CURLE_OPERATION_TIMEDOUT) &&
                  Same(kAbortedByCallback, CURLE_ABORTED_BY_CALLBACK),
              "the callers act on libcurl's own codes");

constexpr long kLowSpeedLimitBytesPerSecond = 1;
constexpr char kOpenFailureText[] = "Unable to open target file.\n";

// libcurl's process-wide state must not be released while an easy handle exists, and the
// host's Stop may ask for that while the worker still transfers: the release then waits for the
// last handle.
struct GlobalState {
    std::mutex mutex;
    bool initialised = false;
    int liveHandles = 0;
    bool cleanupRequested = false;
};

GlobalState& TheGlobalState() {
    static GlobalState state;
    return state;
}

// Initialises libcurl when needed and creates an easy handle, counted as alive.
CURL* CreateHandle() {
    GlobalState& state = TheGlobalState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.initialised) {
        curl_global_init(CURL_GLOBAL_ALL);
        state.initialised = true;
    }
    CURL* handle = curl_easy_init();
    if (handle) ++state.liveHandles;
    return handle;
}

void ReleaseGlobalStateLocked(GlobalState& state) {
    if (!state.initialised || state.liveHandles > 0) return;
    curl_global_cleanup();
    state.initialised = false;
    state.cleanupRequested = false;
}

// A server answers 416 when a resumed file already holds the whole resource (or more): the
// file cannot be continued, only fetched again.
bool RangeNotSatisfiable(CURL* curl, CURLcode result, curl_off_t startPosition) {
    if (result != CURLE_HTTP_RETURNED_ERROR || startPosition == 0) return false;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status == 416;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The "e" flag keeps the descriptor out of programs started while a transfer runs.
File OpenTarget(const std::string& path, bool append) {
    return File(std::fopen(path.c_str(), append ? "ab+e" : "wbe"));
}

// Answers the bytes actually written, so that a short write ends the transfer with
// CURLE_WRITE_ERROR.
size_t WriteToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, 1, size * count, static_cast<std::FILE*>(file));
}

}  // namespace

struct ProgressCallback {
    static int Forward(void* downloader, curl_off_t downloadTotal, curl_off_t downloadedNow,
                       curl_off_t, curl_off_t) {
        const bool proceed = static_cast<HttpDownloader*>(downloader)
                                 ->ReportProgress(static_cast<double>(downloadTotal),
                                                  static_cast<double>(downloadedNow));
        return proceed ? 0 : -1;
    }
};

void HttpDownloader::EasyHandleDeleter::operator()(void* handle) const {
    curl_easy_cleanup(handle);
    GlobalState& state = TheGlobalState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    --state.liveHandles;
    if (state.cleanupRequested) ReleaseGlobalStateLocked(state);
}

HttpDownloader::HttpDownloader() {
    static_assert(sizeof(errorBuffer_) == CURL_ERROR_SIZE, "libcurl fills the whole buffer");
}
HttpDownloader::~HttpDownloader() = default;

bool HttpDownloader::download(const std::string& url, std::string targetPath, bool resume,
                              DownloadProgressObserver* observer) {
    observer_ = observer;
    if (!handle_) handle_.reset(CreateHandle());
    CURL* const curl = handle_.get();

    File file = OpenTarget(targetPath, resume);
    if (!file) {
        lastResult_ = CURLE_WRITE_ERROR;
        std::memcpy(errorBuffer_.data(), kOpenFailureText, sizeof(kOpenFailureText));
        LibraryDiagnostics() << "Unable to open target file " << targetPath << "." << std::endl;
        observer_ = nullptr;
        return false;
    }

    const platform::TransferTimeouts timeouts = platform::CurrentTransferTimeouts();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback::Forward);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer_.data());
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeouts.lowSpeedSeconds);

    // The handle keeps options across transfers, so a fresh download must clear the range a
    // resumed one asked for.
    curl_off_t startPosition = 0;
    if (resume) {
        std::fseek(file.get(), 0, SEEK_END);
        const long end = std::ftell(file.get());
        startPosition = end > 0 ? end : 0;
        LibraryDiagnostics() << "Resuming from position " << static_cast<double>(startPosition)
                             << "." << std::endl;
    }
    resumeOffset_ = static_cast<double>(startPosition);
    curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, startPosition);

    CURLcode result = curl_easy_perform(curl);
    const bool rangeIgnored = result == CURLE_RANGE_ERROR;
    if (rangeIgnored || RangeNotSatisfiable(curl, result, startPosition)) {
        LibraryDiagnostics() << (rangeIgnored ? "HTTP server does not support resuming."
                                              : "HTTP server cannot continue the file.")
                             << " Trying again from position 0." << std::endl;
        file.reset();
        file = OpenTarget(targetPath, false);
        if (file) {
            resumeOffset_ = 0.0;
            curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, file.get());
            result = curl_easy_perform(curl);
        } else {
            LibraryDiagnostics()
                << "Downloaded file could not be closed and reopened, returning range error."
                << std::endl;
        }
    }

    lastResult_ = result;
    if (result != CURLE_OK) {
        LibraryDiagnostics() << "Received error code " << lastResult_ << "(" << errorBuffer_.data()
                             << ") from curl_easy_perform" << std::endl;
    }
    file.reset();
    observer_ = nullptr;
    return result == CURLE_OK;
}

std::string HttpDownloader::errorText() const { return std::string(errorBuffer_.data()); }

void HttpDownloader::GlobalCleanup() {
    GlobalState& state = TheGlobalState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.cleanupRequested = true;
    ReleaseGlobalStateLocked(state);
}

bool HttpDownloader::ReportProgress(double downloadTotal, double downloadedNow) {
    if (!observer_) return true;
    if (observer_->ReportProgress(resumeOffset_ + downloadTotal, resumeOffset_ + downloadedNow)) {
        return true;
    }
    LibraryDiagnostics() << "Download aborted by user." << std::endl;
    return false;
}

}  // namespace Tern
