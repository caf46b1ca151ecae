// The launcher's Windows libraries: the window's resources as the data describe them, the window
// driven as the launcher drives it, and the hardware probe. The program carries the launcher
// program's resources (launcher/win32/launcher.rc): its manifest and string table.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "launcher/launcher_window.h"
#include "platform/dynamic_library.h"
#include "tools/sysprobe/hardware_probe_abi.h"

namespace {

// The window class of each kind of control, as the system spells it.
const std::map<std::string, std::string> kClasses{{"StaticText", "STATIC"},
                                                  {"Separator", "STATIC"},
                                                  {"PushButton", "BUTTON"},
                                                  {"LogBox", "EDIT"},
                                                  {"ProgressBar", "MSCTLS_PROGRESS32"}};

// A dialog (id, "<font face>,<points>", caption, rectangle) or one of its controls (id, class,
// text, rectangle).
using Item = std::tuple<int, std::string, std::string, std::vector<int>>;
#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height) \
    Item{id, std::string(face) + "," + std::to_string(points), caption, {x, y, width, height}},
#define DIALOG_CONTROL(id, kind, text, x, y, width, height) \
    Item{id, kClasses.at(#kind), text, {x, y, width, height}},
const std::vector<Item> kTemplate{
#include "launcher/resources/dialog_102.def"
};
#undef DIALOG_CONTROL
#undef DIALOG_TEMPLATE

#define STRING_ENTRY(id, text) {id, text},
#define GAME_SETTING(name, text)
const std::map<int, std::string> kStrings{
#include TERN_STRING_TABLE_FILE
};
#undef GAME_SETTING
#undef STRING_ENTRY

std::string Utf8(const wchar_t* text, int length) {
    std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr),
                     0);
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), utf8.size(), nullptr, nullptr);
    return utf8;
}

// The next name in a dialog template (a class, a title: this data has no ordinals).
std::string TakeName(const WORD*& at) {
    const auto* const name = reinterpret_cast<const wchar_t*>(at);
    at += wcslen(name) + 1;
    return Utf8(name, at - reinterpret_cast<const WORD*>(name) - 1);
}
std::vector<int> Rectangle(const WORD* at) {
    const auto* const rect = reinterpret_cast<const short*>(at);
    return std::vector<int>(rect, rect + 4);
}

// Template `id` (a DLGTEMPLATEEX) of `module`: the dialog, then its controls.
std::vector<Item> ReadTemplate(HMODULE module, int id) {
    const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
    if (!found) return {};
    const auto* const dialog = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
    const WORD* at = dialog + 13;
    const std::string menu = TakeName(at), dialogClass = TakeName(at), caption = TakeName(at);
    const int points = *at;
    at += 3;
    std::vector<Item> items{{id, TakeName(at) + "," + std::to_string(points),
                             menu + dialogClass + caption, Rectangle(dialog + 9)}};
    for (int i = 0; i < dialog[8]; ++i) {
        const auto* const control = reinterpret_cast<const WORD*>(
            (reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});  // DWORD aligned
        at = control + 12;
        std::string controlClass = TakeName(at);
        CharUpperA(controlClass.data());
        items.emplace_back(*reinterpret_cast<const DWORD*>(control + 10), controlClass,
                           TakeName(at), Rectangle(control + 6));
        at += 1 + (*at + 1) / 2;  // the creation data's size in bytes, then the data
    }
    return items;
}

TEST(WindowsLauncherWindow, ResourcesAreTheDialogTemplateAndStringTableOfTheData) {
    const HMODULE window = GetModuleHandleA("UpgradeLauncherWindow.dll");
    EXPECT_EQ(ReadTemplate(window, 102), kTemplate);
    const HRSRC found = FindResourceA(window, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5));
    const auto* const style = static_cast<const DWORD*>(LockResource(LoadResource(window, found)));
    EXPECT_EQ(style[3] & (WS_VISIBLE | WS_DISABLED), WS_DISABLED);
    for (const auto& [id, text] : kStrings) {
        const wchar_t* loaded = nullptr;
        const int length = LoadStringW(nullptr, id, reinterpret_cast<wchar_t*>(&loaded), 0);
        EXPECT_EQ(Utf8(loaded, length), text) << id;
    }
}

// Hands out what a test sets; counts the window's calls, each of which ends the event loop.
struct Owner final : launcher::WindowOwner {
    void OnAbortButton() override { ++aborts, window->Quit(); }
    void ServeMainThreadCalls() override { ++serves, window->Quit(); }
    std::optional<launcher::ProgressView> TakeNewProgress() override {
        return std::exchange(progress, std::nullopt);
    }
    launcher::LauncherWindow* window = nullptr;
    std::optional<launcher::ProgressView> progress;
    int aborts = 0, serves = 0;
};

std::string TextOf(HWND dialog, int id) {
    wchar_t text[256];
    return Utf8(text, GetDlgItemTextW(dialog, id, text, 256));
}
RECT RectOf(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}
int HeightOf(HWND window) { return RectOf(window).bottom - RectOf(window).top; }

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
    EXPECT_EQ(TextOf(dialog, 2) + TextOf(dialog, 1004) + TextOf(dialog, 1006) +
                  TextOf(dialog, 1013) + TextOf(dialog, 1014) + TextOf(dialog, 1015),
              "QuitMoreCopyFile:All:Log");
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_EQ(RectOf(dialog).bottom, RectOf(GetDlgItem(dialog, 1007)).bottom);  // collapsed

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
    const int collapsed = HeightOf(dialog);
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
        std::thread answering([answer] {
            HWND box = nullptr;
            for (int tries = 0; tries < 6000 && !(box = FindWindowA("#32770", "Run?")); ++tries) {
                Sleep(10);
            }
            PostMessageA(box, WM_COMMAND, answer, 0);
        });
        EXPECT_EQ(window->AskMessageBox({"Now?", "Run?", launcher::MessageIcon::None,
                                         launcher::MessageButtons::YesNo}),
                  answer == IDYES);
        answering.join();
    }

    window->ShowFinalLayout(true);
    EXPECT_EQ(HeightOf(dialog), expanded);
    EXPECT_EQ(TextOf(dialog, 2), "Play");
    for (const int id : {1011, 1001, 1000, 1012, 1013, 1014}) {
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, id))) << id;
    }
    for (const int id : {1002, 1004, 2, 1015, 1003, 1006}) {
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, id))) << id;
    }
}

TEST(WindowsHardwareProbe, ReportsTheDirect3DFeatureLevelAndTheMachine) {
    platform::DynamicLibrary library;
    ASSERT_TRUE(library.Load("sysprobe.dll"));
    const auto entryPoint = reinterpret_cast<sysprobe::GetHardwareInstanceFunction>(
        library.Symbol(sysprobe::kEntryPointName));
    sysprobe::HardwareProbe* const probe = entryPoint ? entryPoint() : nullptr;
    ASSERT_NE(probe, nullptr);
    const bool detected = probe->Refresh();
    const sysprobe::HardwareCapabilities* const record = probe->Capabilities();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->recordSize, sizeof(sysprobe::HardwareCapabilities));
    // Wine's Direct3D offers no hardware device without a display and OpenGL: level 0.
    const uint32_t level = record->direct3DVersion;
    EXPECT_TRUE(level == 0 || (level >= 9 && level <= 12)) << level;
    EXPECT_EQ(detected, level > 0 && record->memoryMegabytes > 0 && record->processorCount > 0);
}

}  // namespace
