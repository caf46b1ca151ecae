// The launcher's window library, loaded from beside the launcher when a window must first show.
#pragma once

#include "launcher/launcher_window.h"

namespace launcher {

// Makes windows from the library kWindowLibraryName in the launcher's directory, loading it at the
// first call; the factory answers null when the library or its entry point is missing.
WindowFactory WindowLibraryFactory();

// Releases what the library set up for its windows, if it was loaded; after the last window.
void ReleaseWindowLibrary();

}  // namespace launcher
