// Fetches one URL into one local file over HTTP, optionally resuming a partial file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace Tern {

class DownloadProgressObserver;

// libcurl result codes that the download's callers act on.
enum TransferResult : int {
    kTransferOk = 0,
    kUnsupportedProtocol = 1,  // a URL or redirect to anything but http or https
    kCouldntResolveProxy = 5,
    kCouldntResolveHost = 6,
    kCouldntConnect = 7,
    kPartialFile = 18,        // the connection ended before the announced length
    kHttpReturnedError = 22,  // an HTTP error status, or a redirect without a place to go
    kWriteError = 23,         // the target could not be opened or written
    kOperationTimedOut = 28,  // connect time-out, or a body that stalled
    kAbortedByCallback = 42,  // the observer asked to stop
    kTooManyRedirects = 47,   // more than five redirects in a row
    kReceiveError = 56,       // the connection failed while the body arrived (a reset)
    kFileTooLarge = 63,       // the file grew beyond the size allowed for it
};

// Limits of one transfer beyond the time-outs every transfer has.
struct TransferBounds {
    // The target file may not grow beyond this many bytes (resumed bytes included); 0: no limit.
    uint64_t maxFileBytes = 0;
    // The whole transfer must end within this many seconds; 0: no limit.
    long totalSeconds = 0;
};

class HttpDownloader {
public:
    HttpDownloader();
    ~HttpDownloader();
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    // Writes the resource at `url` to `targetPath` (never through a link there; created when
    // missing, mode 0600). With `resume`, the bytes already in the file are kept and only the
    // rest is requested; otherwise the file is rewritten. At most five redirects are followed,
    // each to http or https only, and a resumed transfer asks the last place for the same rest.
    // Progress goes to `observer` (may be null), which can cancel the transfer. True when the
    // transfer completed within `bounds`.
    bool download(const std::string& url, std::string targetPath, bool resume,
                  DownloadProgressObserver* observer, const TransferBounds& bounds = {});

    // libcurl's result code of the last transfer; 0 for success.
    int lastResult() const { return lastResult_; }
    // The reason of the last failure.
    std::string errorText() const;

    // Releases the HTTP library's process-wide state if a transfer initialised it, once no
    // downloader holds a handle any more. A later transfer initialises it again.
    static void GlobalCleanup();

private:
    struct EasyHandleDeleter {
        void operator()(void* handle) const;
    };

    // libcurl's progress callback, which reaches the observer through ReportProgress.
    friend struct ProgressCallback;

    // Hands libcurl's figures, raised by the resume offset, to the observer; false cancels.
    bool ReportProgress(double downloadTotal, double downloadedNow);

    DownloadProgressObserver* observer_ = nullptr;
    std::unique_ptr<void, EasyHandleDeleter> handle_;
    std::array<char, 256> errorBuffer_{};
    int lastResult_ = 0;
    double resumeOffset_ = 0.0;
    double lastReported_ = -1.0;  // file bytes received in the last report of this transfer
};

}  // namespace Tern
