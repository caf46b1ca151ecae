#include "launcher/message_box.h"

#include <QMessageBox>

namespace launcher {
namespace {

// Line breaks written for the other desktop's boxes ("\r\n") are single breaks here.
QString BoxText(const std::string& text) {
    QString converted = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return converted;
}

}  // namespace

bool ShowMessageBox(QWidget* owner, const MessageBoxRequest& request) {
    const bool question = request.buttons == MessageButtons::YesNo;
    QMessageBox box(request.icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromUtf8(request.caption.c_str()), BoxText(request.text),
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == (question ? QMessageBox::Yes : QMessageBox::Ok);
}

}  // namespace launcher
