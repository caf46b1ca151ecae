#include "launcher/window_library.h"

#include "platform/dynamic_library.h"
#include "updatelib/base/file_functions.h"

namespace launcher {

WindowFactory WindowLibraryFactory() {
    return [](WindowOwner& owner, const WindowTexts& texts) -> std::unique_ptr<LauncherWindow> {
        // Never unloaded: the toolkit keeps threads and exit handlers of its own.
        static auto* const library = new platform::DynamicLibrary();
        if (!library->Loaded() &&
            !library->Load(Tern::GetExecutableDirectory() + "/" + kWindowLibraryName)) {
            return nullptr;
        }
        const auto create = reinterpret_cast<CreateLauncherWindowFunction>(
            library->Symbol(kCreateLauncherWindowSymbol));
        return std::unique_ptr<LauncherWindow>(create ? create(&owner, &texts) : nullptr);
    };
}

}  // namespace launcher
