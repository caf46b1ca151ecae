// The launcher's update host: it starts the update run, keeps what the window shows, decides
// what each report and each result leads to, and ends the launcher, starting the game where the
// result allows. The window itself is made only when one must show: while a run finds nothing to
// do, none is made and the toolkit is never loaded.
//
// Threads: the host reports on the engine's worker thread (and, for the end of a run asked for
// by the local update service, on a service thread). Every report that changes what the window
// shows or needs an answer is one blocking call into the main thread, where all of the window's
// state lives. Progress is the exception: a transfer reports every received chunk, so the
// reports only store the latest figures, which the main thread shows at display rate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "launcher/latest_progress.h"
#include "launcher/launcher_window.h"
#include "launcher/ui_thread_calls.h"
#include "updatelib/host/upgrade_host.h"

namespace launcher {

class LauncherHost : public Tern::UpgradeHost, public WindowOwner {
public:
    // Construct on the main thread. `makeWindow` makes the window when one must show.
    explicit LauncherHost(WindowFactory makeWindow);
    // Waits for the update run's threads, serving their calls meanwhile; reports that arrive
    // from now on return at once.
    ~LauncherHost() override;

    // Loads the texts, checks the installation and starts the update run, or the game at once
    // when no update check is wanted. False when the launcher ends at once.
    bool Create();
    // Serves the main thread's calls (and the window's events once it exists) until the end.
    void RunMainLoop();

    // Checks the configuration and starts the update run. Virtual so that a subclass can drive
    // the reports itself, without an update run.
    virtual void StartUpdateRun();
    // Button 2, the Escape key and the window's close command.
    void OnAbortButton() override;
    // Serves the reports waiting for the main thread (and shows the window a download asked
    // for); the main loop calls it, and so may a program that runs its own loop.
    void ServeMainThreadCalls() override;
    std::optional<ProgressView> TakeNewProgress() override;
    // Starts the game once per process, whoever asks first.
    void StartGame();

    void OnProgress(double totalBytes, double totalReceived, double fileBytes,
                    double fileReceived) override;
    void OnDownloadStarted(const std::string& url, const std::string& description, uint32_t count,
                           uint32_t index) override;
    void OnFinished(int32_t result) override;
    bool ConfirmRunUpdates() override;
    void OnLogText(const std::string& text) override;

    // Every message box goes through here, on the main thread. Replace it before Create to
    // answer the boxes some other way.
    std::function<bool(const MessageBoxRequest&)> messageBox;

    // The launcher has asked its main loop to end.
    bool QuitPosted() const { return quitPosted_; }
    // The technical log as the log box holds it, lines separated by CR LF.
    const std::string& LogContent() const { return logContent_; }
    // The window, once one was made.
    LauncherWindow* Window() const { return window_.get(); }

private:
    // Runs `call` on the main thread, unless the launcher is closing.
    void CallOnMainThread(const std::function<void()>& call);
    void WakeMainThread();
    LauncherWindow& TheWindow();
    void FinishRun(int32_t result);
    void SetStatusText(const std::string& text);
    bool ShowBox(const std::string& text, const std::string& caption, MessageIcon icon,
                 MessageButtons buttons);
    // Stops the host and asks the main loop to end; from then on the launcher is closing.
    void Quit();

    const WindowFactory makeWindow_;
    std::unique_ptr<LauncherWindow> window_;
    std::atomic<bool> gameStarted_{false};
    bool runEnded_ = false;  // button 2 starts the game instead of aborting

    std::string statusText_;
    std::string logContent_;
    bool shownForDownload_ = false;
    bool windowUnavailable_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> quitPosted_{false};
    std::atomic<bool> showRequested_{false};
    LatestProgress latestProgress_;

    // How other threads wake the main thread: through the window's event loop once it exists,
    // through this signal before.
    std::mutex wakeMutex_;
    std::condition_variable wakeSignal_;
    bool woken_ = false;
    LauncherWindow* wakeTarget_ = nullptr;
    UiThreadCalls mainThreadCalls_;
};

}  // namespace launcher
