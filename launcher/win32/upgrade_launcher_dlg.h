// The launcher's only window on Windows: a modeless dialog from template 102 of the window
// library's resources (a status text, two progress bars and a technical log that opens on
// request), run by a plain dialog procedure through the message map below. It shows what the
// launcher hands it and forwards the player's actions (launcher_window.h); the decisions are the
// launcher's.
//
// The texts are narrow UTF-8 strings, shown through the ANSI functions: the launcher's manifest
// makes UTF-8 the process's ANSI code page.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "launcher/launcher_window.h"

namespace launcher {

class CUpgradeLauncherDlg final : public LauncherWindow {
public:
    // Creates the dialog, hidden; Created() tells whether the system could make it.
    CUpgradeLauncherDlg(WindowOwner& owner, const WindowTexts& texts);
    ~CUpgradeLauncherDlg() override;
    CUpgradeLauncherDlg(const CUpgradeLauncherDlg&) = delete;
    CUpgradeLauncherDlg& operator=(const CUpgradeLauncherDlg&) = delete;

    bool Created() const { return dialog_ != nullptr; }

    void SetStatusText(const std::string& text) override;
    void SetLog(const std::string& content) override;
    void ShowForDownload() override;
    void ShowFinalLayout(bool openLog) override;
    bool AskMessageBox(const MessageBoxRequest& request) override;
    void RefreshProgress() override;
    void RunEventLoop() override;
    void Quit() override;
    void Wake() override;

private:
    // One row of the message map: a window message, or for WM_COMMAND the control whose click
    // it reports, and the member that handles it. The handler's answer is the dialog
    // procedure's.
    struct MessageMapEntry {
        UINT message;
        WORD controlId;
        INT_PTR (CUpgradeLauncherDlg::*handler)();
    };
    static const MessageMapEntry kMessageMap[];
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    INT_PTR OnInitDialog();
    INT_PTR OnPaint();
    INT_PTR OnQueryDragIcon();
    INT_PTR OnRefreshTimer();
    INT_PTR OnServeCalls();
    INT_PTR OnAbortButton();
    INT_PTR ToggleAdvanced();
    INT_PTR CopyLogToClipboard();

    void MeasureWindow();
    void ApplyWindowSize();
    HWND Control(int id) const { return GetDlgItem(dialog_, id); }

    struct IconDeleter {
        void operator()(HICON icon) const { DestroyIcon(icon); }
    };
    using Icon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

    WindowOwner& owner_;
    const WindowTexts texts_;
    HWND dialog_ = nullptr;
    Icon bigIcon_;
    Icon smallIcon_;
    bool expanded_ = false;
    bool quitRequested_ = false;
    int windowWidth_ = 0;
    int collapsedHeight_ = 0;
    int expandedHeight_ = 0;
};

}  // namespace launcher
