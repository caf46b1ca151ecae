#include "launcher/window_library.h"

#include "platform/debug_output.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "updatelib/base/file_functions.h"

namespace launcher {
namespace {

// Never unloaded: the toolkit keeps threads and exit handlers of its own.
platform::DynamicLibrary& WindowLibrary() {
    static auto* const library = new platform::DynamicLibrary();
    return *library;
}

}  // namespace

WindowFactory WindowLibraryFactory() {
    return [](WindowOwner& owner, const WindowTexts& texts) -> std::unique_ptr<LauncherWindow> {
        platform::DynamicLibrary& library = WindowLibrary();
        if (!library.Loaded()) {
            library.Load(Tern::GetExecutableDirectory() + platform::kPathSeparator +
                         platform::LibraryFileName(kWindowLibraryName));
        }
        const auto create = reinterpret_cast<CreateLauncherWindowFunction>(
            library.Symbol(kCreateLauncherWindowSymbol));
        if (!create) {
            platform::WriteDebugOutput(
                "The launcher's window library cannot be used: it runs without a window.\n");
            return nullptr;
        }
        std::unique_ptr<LauncherWindow> window(create(&owner, &texts));
        if (!window) {
            platform::WriteDebugOutput(
                "No display can show the launcher's window: it runs without one.\n");
        }
        return window;
    };
}

void ReleaseWindowLibrary() {
    const auto release = reinterpret_cast<ReleaseLauncherApplicationFunction>(
        WindowLibrary().Symbol(kReleaseLauncherApplicationSymbol));
    if (release) release();
}

}  // namespace launcher
