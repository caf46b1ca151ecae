// The launcher's window as the rest of the launcher sees it: what it shows and what it asks,
// without the toolkit.
//
// The window lives in a library of its own (UpgradeLauncherWindow: Qt 6 Widgets on
// Linux, Win32 on Windows) that the
// launcher loads only when a window must show, so that a start that finds nothing to do never
// loads the toolkit. The launcher keeps everything the window shows (texts ready to display, the
// log, the latest figures) and hands it over; the window renders and forwards the player's
// actions.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace launcher {

// How often a window shows the latest progress figures: about once per frame of a 60 Hz display.
constexpr int kProgressRefreshMs = 16;

enum class MessageIcon { None, Stop };
enum class MessageButtons { Ok, YesNo };

struct MessageBoxRequest {
    std::string text;  // may hold "\r\n" line breaks
    std::string caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

// The fixed texts of the window, in the launcher's language.
struct WindowTexts {
    std::string caption;
    std::string technicalLog;
    std::string copyButton;
    std::string advancedButton;
    std::string quitButton;       // button 2 while the run goes on
    std::string startGameButton;  // button 2 once the run has ended
    std::string thisFile;
    std::string total;
    std::string language;  // the launcher's language code ("us", "de"), for the toolkit's own texts
};

// One progress bar and the text beside it.
struct ProgressLine {
    int percent = 0;  // 0 to 100
    std::string text;
};

struct ProgressView {
    ProgressLine file;
    ProgressLine total;
};

// What the window asks of the launcher; on the main thread.
class WindowOwner {
public:
    // Button 2 (Quit during the run, Start Game after it), the Escape key or the window's close.
    virtual void OnAbortButton() = 0;
    // Runs the calls that other threads have handed to the main thread.
    virtual void ServeMainThreadCalls() = 0;
    // The figures reported since the previous call, ready to show; nullopt when none came.
    virtual std::optional<ProgressView> TakeNewProgress() = 0;

protected:
    ~WindowOwner() = default;
};

// Every operation runs on the main thread, except Wake.
class LauncherWindow {
public:
    virtual ~LauncherWindow() = default;

    virtual void SetStatusText(const std::string& text) = 0;
    // The technical log box's whole content, lines separated by "\r\n".
    virtual void SetLog(const std::string& content) = 0;
    // Shows the window as it looks during a download, with the latest figures.
    virtual void ShowForDownload() = 0;
    // Shows the end of the run: the status text over the progress area, button 2 as Start Game,
    // the technical log opened when `openLog`.
    virtual void ShowFinalLayout(bool openLog) = 0;
    // Shows a modal box and answers true for Yes or OK, false for No or a box closed unanswered.
    virtual bool AskMessageBox(const MessageBoxRequest& request) = 0;
    // Shows the figures reported since it last showed any (WindowOwner::TakeNewProgress).
    virtual void RefreshProgress() = 0;

    // Runs the toolkit's event loop until Quit.
    virtual void RunEventLoop() = 0;
    // Ends the event loop, also when called before it runs.
    virtual void Quit() = 0;
    // Any thread: makes the event loop call WindowOwner::ServeMainThreadCalls soon.
    virtual void Wake() = 0;
};

// Makes the window, hidden, on the main thread (with the toolkit's application object when
// none exists yet); null when the window library cannot be used or no display can show
// a window.
using WindowFactory =
    std::function<std::unique_ptr<LauncherWindow>(WindowOwner&, const WindowTexts&)>;

// The window library's entry point, by that name.
using CreateLauncherWindowFunction = LauncherWindow* (*)(WindowOwner*, const WindowTexts*);
constexpr char kCreateLauncherWindowSymbol[] = "CreateLauncherWindow";
// The library's name without the system's prefix and ending (platform::LibraryFileName).
constexpr char kWindowLibraryName[] = "UpgradeLauncherWindow";
// Releases the application object the library made, once the window is gone.
using ReleaseLauncherApplicationFunction = void (*)();
constexpr char kReleaseLauncherApplicationSymbol[] = "ReleaseLauncherApplication";

}  // namespace launcher

// The entry point itself, for programs that link the window library rather than load it.
extern "C" launcher::LauncherWindow* CreateLauncherWindow(launcher::WindowOwner* owner,
                                                          const launcher::WindowTexts* texts);
