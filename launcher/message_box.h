// The launcher's message boxes: what a box says and offers, and the desktop's box that shows it.
#pragma once

#include <string>

class QWidget;

namespace launcher {

enum class MessageIcon { None, Stop };
enum class MessageButtons { Ok, YesNo };

struct MessageBoxRequest {
    std::string text;  // may hold "\r\n" line breaks
    std::string caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

// Shows a modal box owned by `owner` (which may be hidden) and waits for the answer: true for
// Yes, or for OK; false for No and for a box closed without an answer.
bool ShowMessageBox(QWidget* owner, const MessageBoxRequest& request);

}  // namespace launcher
