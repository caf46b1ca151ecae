// The control ids of dialog template 102 (resources/dialog_102.def), which both windows build
// from the same template.
#pragma once

namespace launcher {

enum ControlId {
    kAbortButton = 2,  // the system's cancel id: Escape and the window's close click it too
    kTotalProgress = 1000,
    kFileProgressText = 1001,
    kStatusText = 1002,
    kLogBox = 1003,
    kAdvancedButton = 1004,
    kCopyButton = 1006,
    kSeparator = 1007,
    kFileProgress = 1011,
    kTotalProgressText = 1012,
    kThisFileLabel = 1013,
    kTotalLabel = 1014,
    kLogLabel = 1015,
};

}  // namespace launcher
