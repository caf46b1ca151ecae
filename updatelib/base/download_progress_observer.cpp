#include "updatelib/base/download_progress_observer.h"

namespace Tern {

bool DownloadProgressObserver::ReportProgress(double fileBytes, double fileReceived) {
    if (TotalBytes == 0.0) TotalBytes = fileBytes;
    return OnProgress(TotalBytes, CompletedBytes + fileReceived, fileBytes, fileReceived);
}

}  // namespace Tern
