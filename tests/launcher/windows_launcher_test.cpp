// The launcher's Windows libraries: the window's resources as the data describe them, the window
// driven as the launcher drives it, and the hardware probe. The program carries the launcher
// program's resources (launcher/win32/launcher.rc, its manifest) and, through launcher_config, the
// string table.
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
#include "launcher/string_table.h"
#include "platform/dynamic_library.h"
#include "tools/sysprobe/hardware_probe_abi.h"

namespace {

// The window class of each kind of window.
const std::map<std::string, std::string> kClasses{
    {"Dialog", "#32770"},     {"StaticText", "Static"}, {"Separator", "Static"},
    {"PushButton", "Button"}, {"LogBox", "Edit"},       {"ProgressBar", PROGRESS_CLASSA}};

// The dialog and its controls as the template describes them: position and size (in a RECT's
// fields) in dialog units.
struct Item {
    int id;
    std::string kind, text;
    RECT rect;
};
#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height) \
    {id, "Dialog", caption, {x, y, width, height}},
#define DIALOG_CONTROL(id, kind, text, x, y, width, height) \
    {id, #kind, text, {x, y, width, height}},
const Item kTemplate[] = {
#include "launcher/resources/dialog_102.def"
};

// The table as its file gives it, read by the C compiler: the resource compiler must store the
// same texts, and only its ids answer.
#define STRING_ENTRY(id, text) {id, text},
#define GAME_SETTING(name, text)
const std::map<int, std::string> kTable{
#include TERN_STRING_TABLE_FILE
};
TEST(WindowsLauncherWindow, StringTableResourceIsTheTablesData) {
    for (int id = launcher::kFirstStringId - 1; id <= launcher::kLastStringId + 1; ++id) {
        EXPECT_EQ(launcher::LoadResourceString(id), kTable.count(id) ? kTable.at(id) : "") << id;
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
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}
std::vector<LONG> Corners(const RECT& rect) {
    return {rect.left, rect.top, rect.right, rect.bottom};
}
// The window's rectangle in `dialog`'s client coordinates.
std::vector<LONG> RectOf(HWND window, HWND dialog = nullptr) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return Corners(rect);
}
int HeightOf(HWND window) { return RectOf(window)[3] - RectOf(window)[1]; }

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
    EXPECT_EQ(RectOf(dialog)[3], RectOf(GetDlgItem(dialog, 1007))[3]);  // collapsed
    const int collapsed = HeightOf(dialog);
    SendDlgItemMessageA(dialog, 1004, BM_CLICK, 0, 0);
    const int expanded = HeightOf(dialog);
    EXPECT_GT(expanded, collapsed);
    // The template as it shows, but for the texts the launcher gives (above).
    for (Item item : kTemplate) {
        const HWND window = item.kind == "Dialog" ? dialog : GetDlgItem(dialog, item.id);
        char windowClass[64] = "";
        GetClassNameA(window, windowClass, sizeof windowClass);
        EXPECT_STRCASEEQ(windowClass, kClasses.at(item.kind).c_str()) << item.id;
        MapDialogRect(dialog, &item.rect);
        RECT client{};
        GetClientRect(dialog, &client);
        const RECT& at = item.rect;  // in pixels now, each field on its own as the system does
        std::vector<LONG> shown = window == dialog ? Corners(client) : RectOf(window, dialog);
        // Wine widens an etched line by its frame.
        if (item.kind == "Separator") shown[2] = at.left + at.right;
        EXPECT_EQ(shown, Corners({at.left, at.top, at.left + at.right, at.top + at.bottom}))
            << item.id;
        if (item.kind != "Dialog" && item.kind != "PushButton" && item.id < 1013) {
            EXPECT_EQ(TextOf(dialog, item.id), item.text) << item.id;
        }
    }
    SendDlgItemMessageA(dialog, 1004, BM_CLICK, 0, 0);
    EXPECT_EQ(HeightOf(dialog), collapsed);

    window->SetStatusText("Gr\xc3\xb6\xc3\x9f\x65");  // UTF-8 through the manifest's code page
    wchar_t status[16] = L"";
    GetDlgItemTextW(dialog, 1002, status, 16);
    EXPECT_STREQ(status, L"Gr\u00f6\u00dfe");
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
