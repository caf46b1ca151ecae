// Receiver of transfer progress.
#pragma once

namespace Tern {

class DownloadProgressObserver {
public:
    // Bytes of all downloads of the current phase; 0.0 while unknown.
    double TotalBytes = 0.0;
    // Bytes of the downloads of this run that finished before the current one.
    double CompletedBytes = 0.0;

    // Called for every progress report with the overall and the current file's figures.
    // Answering false asks the transfer to stop.
    virtual bool OnProgress(double totalBytes, double totalReceived, double fileBytes,
                            double fileReceived) = 0;

    void SetTotalBytes(double bytes) { TotalBytes = bytes; }
    void SetCompletedBytes(double bytes) { CompletedBytes = bytes; }

    // Entry point of a transfer's progress callback. `fileBytes` and `fileReceived` already
    // include the bytes a resumed transfer found on disk. Adopts the file's size as the total
    // when none was set, adds the finished downloads, and answers whether to continue.
    bool ReportProgress(double fileBytes, double fileReceived);

protected:
    ~DownloadProgressObserver() = default;
};

}  // namespace Tern
