// The launcher's Win32 window library: its resources as the data describe them, and the window
// driven as the launcher drives it. The program carries the launcher program's resources
// (launcher/win32/launcher.rc): its manifest and string table.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "launcher/launcher_window.h"

namespace {

#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height) \
    const char* const kCaption = caption;                               \
    const char* const kFontFace = face;                                 \
    const int kFontPoints = points;                                     \
    const std::vector<int> kDialogRect{x, y, width, height};
#define DIALOG_CONTROL(id, kind, text, x, y, width, height)
#include "launcher/resources/dialog_102.def"
#undef DIALOG_CONTROL
#undef DIALOG_TEMPLATE

struct ControlData {
    int id;
    const char* kind;
    const char* text;
    int x, y, width, height;
};
#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height)
#define DIALOG_CONTROL(id, kind, text, x, y, width, height) {id, #kind, text, x, y, width, height},
const ControlData kControls[] = {
#include "launcher/resources/dialog_102.def"
};
#undef DIALOG_CONTROL
#undef DIALOG_TEMPLATE

struct StringData {
    int id;
    const char* text;
};
#define STRING_ENTRY(id, text) {id, text},
#define GAME_SETTING(name, text)
const StringData kStrings[] = {
#include TERN_STRING_TABLE_FILE
};
#undef GAME_SETTING
#undef STRING_ENTRY

// The window class of each kind of control.
const std::map<std::string, std::string> kClasses{{"StaticText", "Static"},
                                                  {"Separator", "Static"},
                                                  {"PushButton", "Button"},
                                                  {"LogBox", "Edit"},
                                                  {"ProgressBar", PROGRESS_CLASSA}};

std::string Narrow(const wchar_t* text) {
    std::string narrow(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 0);
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), narrow.size(), nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

// The next string of a dialog template (a class or a title given by name), after which `at`
// points; an ordinal gives "#<number>".
std::string TakeName(const WORD*& at) {
    if (*at == 0xFFFF) {
        at += 2;
        return "#" + std::to_string(at[-1]);
    }
    const std::string name = Narrow(reinterpret_cast<const wchar_t*>(at));
    at += wcslen(reinterpret_cast<const wchar_t*>(at)) + 1;
    return name;
}

TEST(WindowsLauncherResources, AreTheDialogTemplateAndStringTableOfTheData) {
    const HMODULE window = GetModuleHandleA("UpgradeLauncherWindow.dll");
    const HRSRC found = FindResourceA(window, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5));
    ASSERT_NE(found, nullptr);
    const auto* const header = static_cast<const WORD*>(LockResource(LoadResource(window, found)));
    ASSERT_EQ(header[1], 0xFFFF);  // DLGTEMPLATEEX
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(header + 6) & (WS_VISIBLE | WS_DISABLED),
              WS_DISABLED);
    const auto* const dialogRect = reinterpret_cast<const short*>(header + 9);
    EXPECT_EQ(std::vector<int>(dialogRect, dialogRect + 4), kDialogRect);
    const WORD* at = header + 13;
    const std::string menu = TakeName(at), windowClass = TakeName(at), caption = TakeName(at);
    EXPECT_EQ(menu + windowClass + caption, kCaption);
    EXPECT_EQ(at[0], kFontPoints);
    at += 3;
    EXPECT_EQ(TakeName(at), kFontFace);
    ASSERT_EQ(header[8], std::size(kControls));
    for (const ControlData& control : kControls) {
        at = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});
        const auto* const rect = reinterpret_cast<const short*>(at + 6);
        EXPECT_EQ(*reinterpret_cast<const DWORD*>(at + 10), control.id);
        EXPECT_EQ(std::vector<int>(rect, rect + 4),
                  (std::vector<int>{control.x, control.y, control.width, control.height}));
        at += 12;
        EXPECT_STRCASEEQ(TakeName(at).c_str(), kClasses.at(control.kind).c_str()) << control.id;
        EXPECT_EQ(TakeName(at), control.text);
        at += 1 + (*at + 1) / 2;
    }

    for (const StringData& entry : kStrings) {
        const wchar_t* text = nullptr;
        const int length = LoadStringW(nullptr, entry.id, reinterpret_cast<wchar_t*>(&text), 0);
        EXPECT_EQ(Narrow(std::wstring(text, length).c_str()), entry.text) << entry.id;
    }
}

// Hands out what a test sets; counts the window's calls.
class Owner final : public launcher::WindowOwner {
public:
    void OnAbortButton() override {
        ++aborts;
        window->Quit();
    }
    void ServeMainThreadCalls() override {
        ++serves;
        window->Quit();
    }
    std::optional<launcher::ProgressView> TakeNewProgress() override {
        return std::exchange(progress, std::nullopt);
    }
    launcher::LauncherWindow* window = nullptr;
    std::optional<launcher::ProgressView> progress;
    int aborts = 0;
    int serves = 0;
};

std::string TextOf(HWND dialog, int id) {
    wchar_t text[256];
    GetDlgItemTextW(dialog, id, text, 256);
    return Narrow(text);
}
int HeightOf(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    return rect.bottom - rect.top;
}
bool Shows(HWND dialog, int id) { return IsWindowVisible(GetDlgItem(dialog, id)); }

// Answers the message box with `caption` once it opens.
std::thread AnswerBox(const char* caption, int answer) {
    return std::thread([=] {
        HWND box = nullptr;
        for (int tries = 0; tries < 6000 && !(box = FindWindowA("#32770", caption)); ++tries) {
            Sleep(10);
        }
        PostMessageA(box, WM_COMMAND, answer, 0);
    });
}

TEST(WindowsLauncherWindow, ShowsTheRunAndForwardsThePlayersActions) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "Wine shows windows only on an X display";
    Owner owner;
    const launcher::WindowTexts texts{"Window test", "Log",   "Copy", "More", "Quit",
                                      "Play",        "File:", "All:", "us"};
    std::unique_ptr<launcher::LauncherWindow> window(CreateLauncherWindow(&owner, &texts));
    ASSERT_NE(window, nullptr);
    owner.window = window.get();
    const HWND dialog = FindWindowA("#32770", "Window test");
    ASSERT_NE(dialog, nullptr);
    for (const ControlData& control : kControls) {
        char name[64] = "";
        GetClassNameA(GetDlgItem(dialog, control.id), name, sizeof name);
        EXPECT_STRCASEEQ(name, kClasses.at(control.kind).c_str()) << control.id;
    }
    EXPECT_EQ(TextOf(dialog, 2) + TextOf(dialog, 1004) + TextOf(dialog, 1006) +
                  TextOf(dialog, 1013) + TextOf(dialog, 1014) + TextOf(dialog, 1015),
              "QuitMoreCopyFile:All:Log");
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
    RECT separator;
    GetWindowRect(GetDlgItem(dialog, 1007), &separator);
    const int collapsed = HeightOf(dialog);
    EXPECT_EQ(separator.bottom - collapsed, [&] {
        RECT r;
        GetWindowRect(dialog, &r);
        return r.top;
    }());

    window->SetStatusText("Gr\xc3\xb6\xc3\x9f\x65");  // UTF-8 through the manifest's code page
    EXPECT_EQ(TextOf(dialog, 1002), "Gr\xc3\xb6\xc3\x9f\x65");
    owner.progress = launcher::ProgressView{{99, "99 of 100"}, {5, "5 of 100"}};
    window->ShowForDownload();
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1011, PBM_GETPOS, 0, 0), 99);
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1000, PBM_GETPOS, 0, 0), 5);
    EXPECT_EQ(TextOf(dialog, 1001) + "," + TextOf(dialog, 1012), "99 of 100,5 of 100");

    window->SetLog("a\r\nb");
    SendDlgItemMessageA(dialog, 1006, BM_CLICK, 0, 0);
    ASSERT_TRUE(OpenClipboard(nullptr));
    const HANDLE copied = GetClipboardData(CF_TEXT);
    EXPECT_STREQ(copied ? static_cast<const char*>(GlobalLock(copied)) : "", "a\r\nb");
    CloseClipboard();
    SendDlgItemMessageA(dialog, 1004, BM_CLICK, 0, 0);
    const int expanded = HeightOf(dialog);
    EXPECT_GT(expanded, collapsed);
    SendDlgItemMessageA(dialog, 1004, BM_CLICK, 0, 0);
    EXPECT_EQ(HeightOf(dialog), collapsed);

    // Other threads only wake the loop; Escape and the close command press button 2.
    std::thread([&] { window->Wake(); }).join();
    window->RunEventLoop();
    PostMessageA(GetDlgItem(dialog, 1004), WM_KEYDOWN, VK_ESCAPE, 0);
    window->RunEventLoop();
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    window->RunEventLoop();
    EXPECT_EQ(owner.serves, 1);
    EXPECT_EQ(owner.aborts, 2);

    for (const int answer : {IDYES, IDNO}) {
        std::thread answering = AnswerBox("Run it?", answer);
        EXPECT_EQ(window->AskMessageBox({"Now?", "Run it?", launcher::MessageIcon::None,
                                         launcher::MessageButtons::YesNo}),
                  answer == IDYES);
        answering.join();
    }

    window->ShowFinalLayout(true);
    EXPECT_EQ(HeightOf(dialog), expanded);
    EXPECT_EQ(TextOf(dialog, 2), "Play");
    for (const int id : {1011, 1001, 1000, 1012, 1013, 1014}) EXPECT_FALSE(Shows(dialog, id)) << id;
    for (const int id : {1002, 1004, 2, 1015, 1003, 1006}) EXPECT_TRUE(Shows(dialog, id)) << id;
}

}  // namespace
