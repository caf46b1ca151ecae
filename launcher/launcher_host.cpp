#include "launcher/launcher_host.h"

#include "launcher/game_start.h"
#include "launcher/launch_policy.h"
#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "launcher/string_table.h"
#include "platform/debug_output.h"
#include "platform/process.h"
#include "updatelib/base/debugger_stream.h"
#include "updatelib/base/diagnostic_channel.h"

namespace launcher {
namespace {

// A download shows the window once its current file has more bytes than this.
constexpr double kHiddenDownloadBytes = 21.0;
const char* const kMissingTextFileMessage =
    "Cannot load resource files. Re-installing the game may fix this problem.";

// The part of `url` after its last '/', or all of it.
std::string LastPathPart(const std::string& url) {
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

// The log box's content after one flushed piece of the technical log: pieces are separated by
// CR LF, and the newline that ends each piece is dropped. An empty piece, or one that does not
// end in a newline, loses nothing.
std::string AppendLogPiece(std::string content, const std::string& piece) {
    if (piece.empty()) return content;
    if (!content.empty()) content += "\r\n";
    content += piece;
    if (content.back() == '\n') content.pop_back();
    return content;
}

// A bar's position for `received` of `size`: truncated towards zero, within the bar's range.
ProgressLine LineOf(double received, double size) {
    const double percentage = size == 0.0 ? 0.0 : received / size * 100.0;
    ProgressLine line;
    line.percent = !(percentage > 0.0)   ? 0
                   : percentage >= 100.0 ? 100
                                         : static_cast<int>(percentage);
    line.text = GetText("IDS_DOWNLOAD_PROGRESS", received, size, percentage);
    return line;
}

// Stands for a window that cannot be made (no display, or its library is missing or broken):
// nothing shows, the boxes go to the debugger output and every question is answered No, so that
// nothing runs that the player did not agree to.
class NoWindow final : public LauncherWindow {
public:
    void RefreshProgress() override {}
    void SetStatusText(const std::string&) override {}
    void SetLog(const std::string&) override {}
    void ShowForDownload() override {}
    void ShowFinalLayout(bool) override {}
    bool AskMessageBox(const MessageBoxRequest& request) override {
        platform::WriteDebugOutput(request.caption + ": " + request.text + "\n");
        return false;
    }
    void RunEventLoop() override {}
    void Quit() override {}
    void Wake() override {}
};

WindowTexts TextsOfTheWindow() {
    return WindowTexts{WindowCaption(),
                       GetText("IDS_TECHNICAL_LOG"),
                       GetText("IDS_BTN_CLIPBORAD"),
                       GetText("IDS_BTN_ADVANCED"),
                       GetText("IDS_QUIT_BUTTON_CAPTION"),
                       GetText("IDS_START_GAME_BUTTON_CAPTION"),
                       GetText("IDS_THIS_FILE"),
                       GetText("IDS_TOTAL"),
                       Settings().uiLanguage};
}

}  // namespace

LauncherHost::LauncherHost(WindowFactory makeWindow)
    : messageBox(
          [this](const MessageBoxRequest& request) { return TheWindow().AskMessageBox(request); }),
      makeWindow_(std::move(makeWindow)),
      mainThreadCalls_([this] { WakeMainThread(); }) {}

LauncherHost::~LauncherHost() {
    closing_ = true;
    WaitForThreads([this] { mainThreadCalls_.ServePending(); });
    {
        const std::lock_guard<std::mutex> lock(wakeMutex_);
        wakeTarget_ = nullptr;
    }
    window_.reset();
}

bool LauncherHost::Create() {
    if (!LoadLocalizedTexts()) {
        ShowBox(kMissingTextFileMessage, WindowCaption(), MessageIcon::Stop, MessageButtons::Ok);
        Quit();
        return false;
    }
    if (!AppendGameLanguage()) {
        ShowBox(MissingInstallationMessage(false), WindowCaption(), MessageIcon::Stop,
                MessageButtons::Ok);
        Quit();
        return false;
    }
    if (!Settings().checkForUpdates) {
        StartGame();
        Quit();
        return false;
    }
    StartUpdateRun();
    return !quitPosted_;
}

void LauncherHost::StartUpdateRun() {
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    Tern::TrustChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    if (LoadResourceString(IDS_GAME_NAME) == LoadResourceString(IDS_NOT_ADAPTED)) {
        ShowBox(LoadResourceString(IDS_NOT_ADAPTED), WindowCaption(), MessageIcon::None,
                MessageButtons::Ok);
        Quit();
        return;
    }
    const std::string gameId = ReadGameId();
    if (gameId.empty()) {
        ShowBox(MissingInstallationMessage(true), WindowCaption(), MessageIcon::Stop,
                MessageButtons::Ok);
        Quit();
        return;
    }
    Start(gameId, UpdateKeyPath(), Settings().uiLanguage, ProductName());
}

void LauncherHost::RunMainLoop() {
    while (!quitPosted_) {
        if (window_) {
            ServeMainThreadCalls();
            if (!quitPosted_) window_->RunEventLoop();
            return;
        }
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wakeSignal_.wait(lock, [this] { return woken_; });
            woken_ = false;
        }
        ServeMainThreadCalls();
    }
}

void LauncherHost::OnAbortButton() {
    if (closing_) return;
    if (runEnded_) {
        StartGame();
        Quit();
        return;
    }
    SetStatusText(GetText("IDS_ABORTING"));
    Abort();
    StartGame();
}

void LauncherHost::StartGame() {
    if (gameStarted_.exchange(true)) return;
    if (Settings().executableName.empty()) {
        ShowBox(LoadResourceString(IDS_MISSING_EXECUTABLE_PATH),
                LoadResourceString(IDS_ABORTING_CAPTION), MessageIcon::None, MessageButtons::Ok);
        Quit();
        return;
    }
    const long result = LaunchGame();
    if (!platform::OpenSucceeded(result)) {
        ShowBox(GameStartFailureMessage(result), WindowCaption(), MessageIcon::None,
                MessageButtons::Ok);
    }
}

void LauncherHost::OnProgress(double totalBytes, double totalReceived, double fileBytes,
                              double fileReceived) {
    latestProgress_.Store(ProgressFigures{totalBytes, totalReceived, fileBytes, fileReceived});
    if (fileReceived > kHiddenDownloadBytes && !showRequested_.exchange(true)) WakeMainThread();
}

void LauncherHost::OnDownloadStarted(const std::string& url, const std::string& description,
                                     uint32_t, uint32_t) {
    CallOnMainThread([&] {
        SetStatusText(description.empty() ? GetText("IDS_CURRENT_DOWNLOAD_FILE", LastPathPart(url))
                                          : description);
    });
}

void LauncherHost::OnFinished(int32_t result) {
    CallOnMainThread([&] { FinishRun(result); });
}

bool LauncherHost::ConfirmRunUpdates() {
    bool runThem = false;
    CallOnMainThread([&] {
        runThem = ShowBox(GetText("IDS_CAN_RUN_UPDATE_FILE"),
                          GetText("IDS_CAN_RUN_UPDATE_FILE_DLG_TITLE"), MessageIcon::None,
                          MessageButtons::YesNo);
    });
    return runThem;
}

void LauncherHost::OnLogText(const std::string& text) {
    CallOnMainThread([&] {
        logContent_ = AppendLogPiece(std::move(logContent_), text);
        if (window_) window_->SetLog(logContent_);
    });
}

// The first download report past the hidden bytes asks for the window; the window then shows
// the latest figures, so those on screen after each call are never older than the call.
void LauncherHost::ServeMainThreadCalls() {
    if (showRequested_ && !closing_ && !shownForDownload_) {
        shownForDownload_ = true;
        TheWindow().ShowForDownload();
    }
    mainThreadCalls_.ServePending();
}

std::optional<ProgressView> LauncherHost::TakeNewProgress() {
    const std::optional<ProgressFigures> figures = latestProgress_.TakeNew();
    if (!figures) return std::nullopt;
    return ProgressView{LineOf(figures->fileReceived, figures->fileBytes),
                        LineOf(figures->totalReceived, figures->totalBytes)};
}

// Before each call the window shows the latest figures, so that those on screen after the last
// report are that report's.
void LauncherHost::CallOnMainThread(const std::function<void()>& call) {
    if (closing_) return;
    mainThreadCalls_.Call([&] {
        if (closing_) return;
        if (window_) window_->RefreshProgress();
        call();
    });
}

void LauncherHost::WakeMainThread() {
    const std::lock_guard<std::mutex> lock(wakeMutex_);
    if (wakeTarget_) {
        wakeTarget_->Wake();
        return;
    }
    woken_ = true;
    wakeSignal_.notify_one();
}

LauncherWindow& LauncherHost::TheWindow() {
    static NoWindow noWindow;
    if (window_ || windowUnavailable_) return window_ ? *window_ : noWindow;
    window_ = makeWindow_(*this, TextsOfTheWindow());
    if (!window_) {
        windowUnavailable_ = true;
        return noWindow;
    }
    window_->SetStatusText(statusText_);
    window_->SetLog(logContent_);
    const std::lock_guard<std::mutex> lock(wakeMutex_);
    wakeTarget_ = window_.get();
    return *window_;
}

void LauncherHost::FinishRun(int32_t result) {
    const RunOutcome outcome = OutcomeOfRun(result);
    if (outcome.statusKey) SetStatusText(GetText(outcome.statusKey));
    if (outcome.startGame) StartGame();
    if (outcome.close) {
        Quit();
        return;
    }
    runEnded_ = true;
    LauncherWindow& window = TheWindow();
    // Nobody can press the final layout's only button: the launcher goes on as it would.
    if (windowUnavailable_) {
        OnAbortButton();
        return;
    }
    window.ShowFinalLayout(outcome.expandLog);
}

void LauncherHost::SetStatusText(const std::string& text) {
    statusText_ = text;
    if (window_) window_->SetStatusText(text);
}

bool LauncherHost::ShowBox(const std::string& text, const std::string& caption, MessageIcon icon,
                           MessageButtons buttons) {
    return messageBox(MessageBoxRequest{text, caption, icon, buttons});
}

void LauncherHost::Quit() {
    closing_ = true;
    Stop();
    quitPosted_ = true;
    if (window_) {
        window_->Quit();
    } else {
        WakeMainThread();
    }
}

}  // namespace launcher
