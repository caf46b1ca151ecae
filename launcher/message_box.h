// The desktop's box that shows one of the launcher's message boxes.
#pragma once

#include "launcher/launcher_window.h"

class QWidget;

namespace launcher {

// Shows a modal box owned by `owner` (which may be hidden) and waits for the answer: true for
// Yes, or for OK; false for No and for a box closed without an answer.
bool ShowMessageBox(QWidget* owner, const MessageBoxRequest& request);

}  // namespace launcher
