#include "updatelib/transfer/http_downloader.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <ostream>

#include "platform/file.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/download_progress_observer.h"
#include "updatelib/transfer/transfer_limits.h"

namespace Tern {

namespace {

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
                  Same(kAbortedByCallback, CURLE_ABORTED_BY_CALLBACK) &&
                  Same(kUnsupportedProtocol, CURLE_UNSUPPORTED_PROTOCOL) &&
                  Same(kReceiveError, CURLE_RECV_ERROR) &&
                  Same(kTooManyRedirects, CURLE_TOO_MANY_REDIRECTS) &&
                  Same(kFileTooLarge, CURLE_FILESIZE_EXCEEDED),
              "the callers act on libcurl's own codes");

constexpr long kLowSpeedLimitBytesPerSecond = 1;
// libcurl's default of 16 KiB costs a write and a progress report per 16 KiB; the curl tool uses
// 100 KiB. Larger reads keep up with loopback and fast links; memory stays this one buffer.
constexpr long kReceiveBufferBytes = 512 * 1024;
// Logged inside one line: "... (<text>)."
constexpr char kOpenFailureText[] = "Unable to open target file.";
constexpr char kTooLargeText[] = "The file is larger than announced.";
constexpr char kRedirectBodyText[] = "The server answered with a redirect that cannot be followed.";
// A CDN in front of a mirror redirects once or twice; a longer chain is a loop or hostile.
constexpr long kMaxRedirects = 5;
// Plain HTTP carries the update information; a hostile answer must not make the launcher speak
// any other protocol (file, ftp, gopher, dict, ...) to any host, not even through a redirect.
constexpr char kAllowedProtocols[] = "http,https";

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

// Whether the last answer is a redirect, which libcurl did not follow when it still is.
bool AnsweredRedirect(CURL* curl) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status / 100 == 3;
}

// The file a transfer writes, and the bytes it may hold.
struct TargetFile {
    CURL* curl = nullptr;
    platform::File output;
    uint64_t size = 0;
    uint64_t maxBytes = 0;  // 0: no limit
    bool tooLarge = false;
    bool redirectBody = false;
};

// Any answer but `bytes` ends the transfer with CURLE_WRITE_ERROR: a failed write, a file that
// would grow beyond its limit, or the body of a redirect libcurl did not follow (no Location, or
// 304), which is a status page and not the resource.
size_t WriteToFile(char* data, size_t size, size_t count, void* target) {
    auto& file = *static_cast<TargetFile*>(target);
    const size_t bytes = size * count;
    if (AnsweredRedirect(file.curl)) {
        file.redirectBody = true;
        return 0;
    }
    if (file.maxBytes != 0 && file.size + bytes > file.maxBytes) {
        file.tooLarge = true;
        return 0;
    }
    if (!file.output.WriteAll(data, bytes)) return 0;
    file.size += bytes;
    return bytes;
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
                              DownloadProgressObserver* observer, const TransferBounds& bounds) {
    observer_ = observer;
    if (!handle_) handle_.reset(CreateHandle());
    CURL* const curl = handle_.get();

    TargetFile file;
    file.curl = curl;
    file.output = platform::File::OpenForWriting(targetPath, resume);
    file.maxBytes = bounds.maxFileBytes;
    if (!file.output.Valid()) {
        lastResult_ = CURLE_WRITE_ERROR;
        std::memcpy(errorBuffer_.data(), kOpenFailureText, sizeof(kOpenFailureText));
        LibraryDiagnostics() << "Unable to open target file " << targetPath << "." << std::endl;
        observer_ = nullptr;
        return false;
    }

    const TransferTimeouts timeouts = CurrentTransferTimeouts();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &file);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback::Forward);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer_.data());
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeouts.lowSpeedSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, bounds.totalSeconds);

    // The handle keeps options across transfers, so a fresh download must clear the range a
    // resumed one asked for.
    curl_off_t startPosition = 0;
    if (resume) {
        file.size = file.output.Size().value_or(0);
        startPosition = static_cast<curl_off_t>(file.size);
        LibraryDiagnostics() << "Resuming from position " << static_cast<double>(startPosition)
                             << "." << std::endl;
    }
    resumeOffset_ = static_cast<double>(startPosition);
    lastReported_ = -1.0;
    curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, startPosition);

    CURLcode result = curl_easy_perform(curl);
    // A redirect that cannot be followed answers a range request without a range, too.
    if (result == CURLE_RANGE_ERROR && AnsweredRedirect(curl)) file.redirectBody = true;
    const bool rangeIgnored = result == CURLE_RANGE_ERROR && !file.redirectBody;
    if (rangeIgnored || RangeNotSatisfiable(curl, result, startPosition)) {
        LibraryDiagnostics() << (rangeIgnored ? "HTTP server does not support resuming."
                                              : "HTTP server cannot continue the file.")
                             << " Trying again from position 0." << std::endl;
        if (file.output.Resize(0)) {
            file.size = 0;
            resumeOffset_ = 0.0;
            curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
            result = curl_easy_perform(curl);
        } else {
            LibraryDiagnostics() << "Downloaded file could not be emptied, returning range error."
                                 << std::endl;
        }
    }
    if (file.tooLarge) {
        result = CURLE_FILESIZE_EXCEEDED;
        std::memcpy(errorBuffer_.data(), kTooLargeText, sizeof(kTooLargeText));
    } else if (file.redirectBody) {
        result = CURLE_HTTP_RETURNED_ERROR;
        std::memcpy(errorBuffer_.data(), kRedirectBodyText, sizeof(kRedirectBodyText));
    }

    lastResult_ = result;
    if (result != CURLE_OK) {
        LibraryDiagnostics() << "Received error code " << lastResult_ << "(" << errorBuffer_.data()
                             << ") from curl_easy_perform" << std::endl;
    } else if (lastReported_ != static_cast<double>(file.size) && observer_) {
        // libcurl may finish without a report of the last bytes: the figures shown would stop
        // short of a complete file.
        const double size = static_cast<double>(file.size);
        observer_->ReportProgress(size, size);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
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
    lastReported_ = resumeOffset_ + downloadedNow;
    if (observer_->ReportProgress(resumeOffset_ + downloadTotal, resumeOffset_ + downloadedNow)) {
        return true;
    }
    LibraryDiagnostics() << "Download aborted by user." << std::endl;
    return false;
}

}  // namespace Tern
