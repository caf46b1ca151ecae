#include "launcher/win32/upgrade_launcher_dlg.h"

#include <commctrl.h>

#include "launcher/dialog_controls.h"

namespace launcher {
namespace {

static_assert(kAbortButton == IDCANCEL, "the dialog manager clicks IDCANCEL for Escape");
constexpr int kDialogTemplate = 102;
constexpr int kApplicationIcon = 5;
// Posted by Wake from any thread; served by the main thread's message loop.
constexpr UINT kServeCallsMessage = WM_APP + 1;
constexpr UINT_PTR kRefreshTimer = 1;

// The module that holds the window's resources: this library.
HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

HICON LoadApplicationIcon(int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageA(ThisModule(), MAKEINTRESOURCEA(kApplicationIcon),
                                         IMAGE_ICON, GetSystemMetrics(widthMetric),
                                         GetSystemMetrics(heightMetric), 0));
}

// A control's rectangle in the dialog's client coordinates.
RECT ClientRectOf(HWND dialog, HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

}  // namespace

const CUpgradeLauncherDlg::MessageMapEntry CUpgradeLauncherDlg::kMessageMap[] = {
    {WM_INITDIALOG, 0, &CUpgradeLauncherDlg::OnInitDialog},
    {WM_PAINT, 0, &CUpgradeLauncherDlg::OnPaint},
    {WM_QUERYDRAGICON, 0, &CUpgradeLauncherDlg::OnQueryDragIcon},
    {WM_TIMER, 0, &CUpgradeLauncherDlg::OnRefreshTimer},
    {kServeCallsMessage, 0, &CUpgradeLauncherDlg::OnServeCalls},
    {WM_COMMAND, kAbortButton, &CUpgradeLauncherDlg::OnAbortButton},
    {WM_COMMAND, kAdvancedButton, &CUpgradeLauncherDlg::ToggleAdvanced},
    {WM_COMMAND, kCopyButton, &CUpgradeLauncherDlg::CopyLogToClipboard},
};

CUpgradeLauncherDlg::CUpgradeLauncherDlg(WindowOwner& owner, const WindowTexts& texts)
    : owner_(owner), texts_(texts) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    // The template makes the window disabled and hidden; it stays hidden until a download or
    // the end of the run shows it.
    dialog_ = CreateDialogParamA(ThisModule(), MAKEINTRESOURCEA(kDialogTemplate), nullptr,
                                 &CUpgradeLauncherDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (dialog_) EnableWindow(dialog_, TRUE);
}

CUpgradeLauncherDlg::~CUpgradeLauncherDlg() {
    if (!dialog_) return;
    // The messages of the window's last moments find no object any more.
    SetWindowLongPtrA(dialog_, DWLP_USER, 0);
    KillTimer(dialog_, kRefreshTimer);
    DestroyWindow(dialog_);
}

INT_PTR CALLBACK CUpgradeLauncherDlg::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        reinterpret_cast<CUpgradeLauncherDlg*>(lParam)->dialog_ = dialog;
    }
    auto* const self = reinterpret_cast<CUpgradeLauncherDlg*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!self) return FALSE;
    const bool clicked = message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED;
    for (const MessageMapEntry& entry : kMessageMap) {
        if (entry.message != message) continue;
        if (message == WM_COMMAND && (!clicked || LOWORD(wParam) != entry.controlId)) continue;
        return (self->*entry.handler)();
    }
    return FALSE;
}

INT_PTR CUpgradeLauncherDlg::OnInitDialog() {
    bigIcon_.reset(LoadApplicationIcon(SM_CXICON, SM_CYICON));
    smallIcon_.reset(LoadApplicationIcon(SM_CXSMICON, SM_CYSMICON));
    SendMessageA(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    SendMessageA(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
    SetWindowTextA(dialog_, texts_.caption.c_str());
    SetDlgItemTextA(dialog_, kLogLabel, texts_.technicalLog.c_str());
    SetDlgItemTextA(dialog_, kCopyButton, texts_.copyButton.c_str());
    SetDlgItemTextA(dialog_, kAdvancedButton, texts_.advancedButton.c_str());
    SetDlgItemTextA(dialog_, kAbortButton, texts_.quitButton.c_str());
    SetDlgItemTextA(dialog_, kThisFileLabel, texts_.thisFile.c_str());
    SetDlgItemTextA(dialog_, kTotalLabel, texts_.total.c_str());
    // The log only grows; the box's default limit is what a player could type.
    SendDlgItemMessageA(dialog_, kLogBox, EM_SETLIMITTEXT, 0, 0);
    MeasureWindow();
    ApplyWindowSize();
    SetTimer(dialog_, kRefreshTimer, kProgressRefreshMs, nullptr);
    return TRUE;
}

// Only a minimised window draws itself: the application icon, centred.
INT_PTR CUpgradeLauncherDlg::OnPaint() {
    if (!IsIconic(dialog_)) return FALSE;
    PAINTSTRUCT paint;
    const HDC context = BeginPaint(dialog_, &paint);
    RECT client{};
    GetClientRect(dialog_, &client);
    const int width = GetSystemMetrics(SM_CXICON);
    const int height = GetSystemMetrics(SM_CYICON);
    DrawIcon(context, (client.right - width + 1) / 2, (client.bottom - height + 1) / 2,
             bigIcon_.get());
    EndPaint(dialog_, &paint);
    return TRUE;
}

INT_PTR CUpgradeLauncherDlg::OnQueryDragIcon() { return reinterpret_cast<INT_PTR>(bigIcon_.get()); }

INT_PTR CUpgradeLauncherDlg::OnRefreshTimer() {
    RefreshProgress();
    return TRUE;
}

INT_PTR CUpgradeLauncherDlg::OnServeCalls() {
    owner_.ServeMainThreadCalls();
    return TRUE;
}

INT_PTR CUpgradeLauncherDlg::OnAbortButton() {
    owner_.OnAbortButton();
    return TRUE;
}

INT_PTR CUpgradeLauncherDlg::ToggleAdvanced() {
    expanded_ = !expanded_;
    ApplyWindowSize();
    return TRUE;
}

INT_PTR CUpgradeLauncherDlg::CopyLogToClipboard() {
    const HWND box = Control(kLogBox);
    SendMessageA(box, EM_SETSEL, 0, -1);
    SendMessageA(box, EM_SCROLLCARET, 0, 0);
    SendMessageA(box, WM_COPY, 0, 0);
    const int end = GetWindowTextLengthA(box);
    SendMessageA(box, EM_SETSEL, end, end);
    SendMessageA(box, EM_SCROLLCARET, 0, 0);
    return TRUE;
}

// The collapsed window ends with the separator; the template's full height shows the log.
void CUpgradeLauncherDlg::MeasureWindow() {
    RECT window{};
    RECT separator{};
    GetWindowRect(dialog_, &window);
    GetWindowRect(Control(kSeparator), &separator);
    windowWidth_ = window.right - window.left;
    collapsedHeight_ = separator.bottom - window.top;
    expandedHeight_ = window.bottom - window.top;
}

void CUpgradeLauncherDlg::ApplyWindowSize() {
    SetWindowPos(dialog_, nullptr, 0, 0, windowWidth_,
                 expanded_ ? expandedHeight_ : collapsedHeight_,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CUpgradeLauncherDlg::SetStatusText(const std::string& text) {
    SetDlgItemTextA(dialog_, kStatusText, text.c_str());
}

void CUpgradeLauncherDlg::SetLog(const std::string& content) {
    SetDlgItemTextA(dialog_, kLogBox, content.c_str());
}

void CUpgradeLauncherDlg::ShowForDownload() {
    RefreshProgress();
    ShowWindow(dialog_, SW_SHOW);
}

void CUpgradeLauncherDlg::ShowFinalLayout(bool openLog) {
    KillTimer(dialog_, kRefreshTimer);
    if (openLog) {
        expanded_ = true;
        ApplyWindowSize();
    }
    // The status text takes the progress area: as wide as the bars, down to the file's bar.
    const RECT status = ClientRectOf(dialog_, Control(kStatusText));
    const RECT bar = ClientRectOf(dialog_, Control(kFileProgress));
    SetWindowPos(Control(kStatusText), nullptr, 0, 0, bar.right - bar.left, bar.bottom - status.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // A narrower text wraps anew: the part that stays in view is stale.
    InvalidateRect(Control(kStatusText), nullptr, TRUE);
    ShowWindow(dialog_, SW_SHOW);
    for (const int id : {kFileProgress, kFileProgressText, kTotalProgress, kTotalProgressText,
                         kThisFileLabel, kTotalLabel}) {
        ShowWindow(Control(id), SW_HIDE);
    }
    SetDlgItemTextA(dialog_, kAbortButton, texts_.startGameButton.c_str());
}

bool CUpgradeLauncherDlg::AskMessageBox(const MessageBoxRequest& request) {
    const bool question = request.buttons == MessageButtons::YesNo;
    const UINT type =
        (question ? MB_YESNO : MB_OK) | (request.icon == MessageIcon::Stop ? MB_ICONSTOP : 0);
    const int answer = MessageBoxA(dialog_, request.text.c_str(), request.caption.c_str(), type);
    return answer == (question ? IDYES : IDOK);
}

void CUpgradeLauncherDlg::RefreshProgress() {
    const std::optional<ProgressView> progress = owner_.TakeNewProgress();
    if (!progress) return;
    SendDlgItemMessageA(dialog_, kFileProgress, PBM_SETPOS, progress->file.percent, 0);
    SetDlgItemTextA(dialog_, kFileProgressText, progress->file.text.c_str());
    SendDlgItemMessageA(dialog_, kTotalProgress, PBM_SETPOS, progress->total.percent, 0);
    SetDlgItemTextA(dialog_, kTotalProgressText, progress->total.text.c_str());
}

// The dialog's keys (Escape, Tab) go through the dialog manager. A quit message that some other
// part of the process posts ends the loop as well. Each Quit ends one run of the loop.
void CUpgradeLauncherDlg::RunEventLoop() {
    MSG message;
    while (!quitRequested_ && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(dialog_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    quitRequested_ = false;
}

void CUpgradeLauncherDlg::Quit() {
    quitRequested_ = true;
    KillTimer(dialog_, kRefreshTimer);
    // Wakes a loop that waits for the next message.
    PostMessageA(dialog_, WM_NULL, 0, 0);
}

// Only a wake-up travels: the caller hands its call over and waits for it itself
// (ui_thread_calls.h), so a main thread that waits for the caller without a message loop, as
// the launcher's end does, still serves it.
void CUpgradeLauncherDlg::Wake() { PostMessageA(dialog_, kServeCallsMessage, 0, 0); }

}  // namespace launcher

// The library's entry point: the window, hidden; null when the system cannot make it (no
// desktop).
extern "C" __declspec(dllexport) launcher::LauncherWindow* CreateLauncherWindow(
    launcher::WindowOwner* owner, const launcher::WindowTexts* texts) {
    auto window = std::make_unique<launcher::CUpgradeLauncherDlg>(*owner, *texts);
    return window->Created() ? window.release() : nullptr;
}
