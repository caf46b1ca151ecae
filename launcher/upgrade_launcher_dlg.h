// The launcher's only window, which is also its update host.
//
// The window starts the update run, turns the host's reports into progress bars, a status text
// and the technical log, asks before downloaded updates run, and ends the launcher when the run
// has finished, starting the game where the result allows. It stays hidden until a download
// passes 21 bytes, so a start that finds nothing to do shows no window at all.
//
// Threads: the host reports on the engine's worker thread (and, for the end of a run asked for
// by the local update service, on a service thread). Every report that changes what the window
// shows or needs an answer is one blocking call into the window's thread, where all of the
// window's state lives. Progress is the exception: a transfer reports every received chunk, so
// the reports only store the latest figures, which the window's thread shows at display rate.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <QDialog>
#include <QIcon>
#include <QTimer>

#include "launcher/latest_progress.h"
#include "launcher/message_box.h"
#include "launcher/ui_thread_calls.h"
#include "updatelib/host/upgrade_host.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace launcher {

class CUpgradeLauncherDlg : public QDialog, public Tern::UpgradeHost {
    Q_OBJECT

public:
    CUpgradeLauncherDlg();
    // Waits for the update run's worker, serving its blocking calls meanwhile; reports that
    // arrive from now on return at once.
    ~CUpgradeLauncherDlg() override;

    // Builds the window from template 102, hidden and disabled, and runs OnInitDialog.
    bool Create();

    // Checks the configuration and starts the update run. Virtual so that a subclass can drive
    // the window's reports itself, without an update run.
    virtual void StartUpdateRun();
    void MeasureWindow();
    void ApplyWindowSize();
    void ToggleAdvanced();
    void CopyLogToClipboard();
    // Button 2, the Escape key and the window's close command.
    void OnAbortButton();
    // Starts the game once per process, whoever asks first.
    void StartGame();

    void OnProgress(double totalBytes, double totalReceived, double fileBytes,
                    double fileReceived) override;
    void OnDownloadStarted(const std::string& url, const std::string& description, uint32_t count,
                           uint32_t index) override;
    void OnFinished(int32_t result) override;
    bool ConfirmRunUpdates() override;
    void OnLogText(const std::string& text) override;

    // Every message box of the window goes through here, on the window's thread. Replace it
    // before Create to answer the boxes some other way.
    std::function<bool(const MessageBoxRequest&)> messageBox;

    // The quit request that ends the launcher's message loop has been posted.
    bool QuitPosted() const { return quitPosted_; }
    // The technical log as the log box holds it, lines separated by CR LF.
    const std::string& LogContent() const { return logContent_; }

protected:
    bool OnInitDialog();

    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void paintEvent(QPaintEvent* event) override;

private:
    void CreateControls();
    Q_INVOKABLE void ServeUiCalls();
    Q_INVOKABLE void ShowForDownload();

    // Runs `call` on the window's thread, unless the window is closing.
    void CallOnUiThread(const std::function<void()>& call);
    void RefreshProgress();
    void ShowProgressPair(QProgressBar* bar, QLabel* text, double received, double size);
    void FinishRun(int32_t result);
    void ShowFinalLayout();
    void SetStatusText(const std::string& text);
    bool ShowBox(const std::string& text, const std::string& caption, MessageIcon icon,
                 MessageButtons buttons);
    // Stops the host and asks the message loop to end; from then on the window is closing.
    void Quit();

    QIcon iconHandle_;
    bool expanded_ = false;
    int buttonMode_ = 1;  // 1: button 2 aborts the run; 0: it starts the game and closes
    int windowWidth_ = 0;
    int collapsedHeight_ = 0;
    int expandedHeight_ = 0;
    std::atomic<bool> gameStarted_{false};

    QPushButton* abortButton_ = nullptr;     // 2
    QPushButton* advancedButton_ = nullptr;  // 1004
    QPushButton* copyButton_ = nullptr;      // 1006
    QLabel* thisFileLabel_ = nullptr;        // 1013
    QLabel* totalLabel_ = nullptr;           // 1014
    QLabel* statusText_ = nullptr;           // 1002
    QLabel* logLabel_ = nullptr;             // 1015
    QLabel* fileProgressText_ = nullptr;     // 1001
    QLabel* totalProgressText_ = nullptr;    // 1012
    QPlainTextEdit* logBox_ = nullptr;       // 1003
    QProgressBar* fileProgress_ = nullptr;   // 1011
    QProgressBar* totalProgress_ = nullptr;  // 1000
    QFrame* separator_ = nullptr;            // 1007

    std::string logContent_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> quitPosted_{false};
    std::atomic<bool> showRequested_{false};
    LatestProgress latestProgress_;
    QTimer progressTimer_;
    UiThreadCalls uiCalls_;
};

}  // namespace launcher
