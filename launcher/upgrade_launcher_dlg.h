// The launcher's only window (Qt 6 Widgets), built from dialog template 102: a status text, two
// progress bars and a technical log that opens on request. It shows what the launcher hands it
// and forwards the player's actions (launcher_window.h); the decisions are the launcher's.
#pragma once

#include <string>

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <QTranslator>

#include "launcher/launcher_window.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace launcher {

class CUpgradeLauncherDlg : public QDialog, public LauncherWindow {
    Q_OBJECT

public:
    CUpgradeLauncherDlg(WindowOwner& owner, const WindowTexts& texts);

    void SetStatusText(const std::string& text) override;
    void SetLog(const std::string& content) override;
    void ShowForDownload() override;
    void ShowFinalLayout(bool openLog) override;
    bool AskMessageBox(const MessageBoxRequest& request) override;
    void RefreshProgress() override;
    void RunEventLoop() override;
    void Quit() override;
    void Wake() override;

    void ToggleAdvanced();
    void CopyLogToClipboard();

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void paintEvent(QPaintEvent* event) override;

private:
    void CreateControls();
    void ApplyWindowSize();
    Q_INVOKABLE void ServeCalls();

    WindowOwner& owner_;
    const WindowTexts texts_;
    // The toolkit's own texts (the buttons of the message boxes) in the launcher's language,
    // installed while the window exists.
    QTranslator toolkitTexts_;
    QIcon icon_;
    bool expanded_ = false;
    int windowWidth_ = 0;
    int collapsedHeight_ = 0;
    int expandedHeight_ = 0;
    QTimer progressTimer_;

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
};

}  // namespace launcher
