#include "launcher/dialog_template.h"

#include <cstring>

#include <QDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace launcher {
namespace {

#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height)
#define DIALOG_CONTROL(id, kind, text, x, y, width, height) \
    ControlTemplate{id, ControlKind::kind, text, x, y, width, height},
constexpr ControlTemplate kControls[] = {
#include "launcher/resources/dialog_102.def"
};
#undef DIALOG_CONTROL
#undef DIALOG_TEMPLATE

#define DIALOG_TEMPLATE(id, caption, face, points, x, y, width, height) \
    DialogTemplate{id, caption, face,   points,    x,                   \
                   y,  width,   height, kControls, sizeof(kControls) / sizeof(kControls[0])},
#define DIALOG_CONTROL(id, kind, text, x, y, width, height)
constexpr DialogTemplate kDialogs[] = {
#include "launcher/resources/dialog_102.def"
};
#undef DIALOG_CONTROL
#undef DIALOG_TEMPLATE
static_assert(sizeof(kDialogs) / sizeof(kDialogs[0]) == 1, "one dialog template per file");

const char* const kAverageWidthSample = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const char* const kShellDialogFace = "MS Shell Dlg";

// value × numerator ÷ denominator, rounded to the nearest integer.
int Scale(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

QRect ToPixels(const DialogBaseUnits& units, int x, int y, int width, int height) {
    return QRect(Scale(x, units.x, 4), Scale(y, units.y, 8), Scale(width, units.x, 4),
                 Scale(height, units.y, 8));
}

QLabel* MakeStaticText(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

QProgressBar* MakeProgressBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

QPushButton* MakePushButton(QWidget* parent, const QString& text) {
    auto* button = new QPushButton(text, parent);
    // Like a dialog without a default button: Return presses nothing.
    button->setAutoDefault(false);
    return button;
}

QFrame* MakeSeparator(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QPlainTextEdit* MakeLogBox(QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setReadOnly(true);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return box;
}

QWidget* MakeControl(QWidget* parent, const ControlTemplate& control) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
        case ControlKind::StaticText:
            return MakeStaticText(parent, text);
        case ControlKind::ProgressBar:
            return MakeProgressBar(parent);
        case ControlKind::PushButton:
            return MakePushButton(parent, text);
        case ControlKind::Separator:
            return MakeSeparator(parent);
        case ControlKind::LogBox:
            return MakeLogBox(parent);
    }
    return nullptr;
}

}  // namespace

const DialogTemplate& LauncherDialogTemplate() { return kDialogs[0]; }

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int sampleWidth = metrics.horizontalAdvance(QString::fromLatin1(kAverageWidthSample));
    const int averageWidth = (sampleWidth / 26 + 1) / 2;
    return DialogBaseUnits{averageWidth, metrics.height()};
}

QFont DialogFont(const DialogTemplate& dialog) {
    QFont font = std::strcmp(dialog.fontFace, kShellDialogFace) == 0
                     ? QFontDatabase::systemFont(QFontDatabase::GeneralFont)
                     : QFont(QString::fromUtf8(dialog.fontFace));
    font.setPointSize(dialog.fontPoints);
    return font;
}

std::map<int, QWidget*> BuildFromTemplate(QDialog& window, const DialogTemplate& dialog) {
    const QFont font = DialogFont(dialog);
    const DialogBaseUnits units = BaseUnitsOf(font);
    window.setFont(font);
    window.setWindowTitle(QString::fromUtf8(dialog.caption));
    const QRect frame = ToPixels(units, dialog.x, dialog.y, dialog.width, dialog.height);
    window.move(frame.topLeft());
    window.setFixedSize(frame.size());

    std::map<int, QWidget*> controls;
    for (size_t i = 0; i < dialog.controlCount; ++i) {
        const ControlTemplate& control = dialog.controls[i];
        QWidget* widget = MakeControl(&window, control);
        widget->setObjectName(QString::number(control.id));
        widget->setGeometry(ToPixels(units, control.x, control.y, control.width, control.height));
        controls[control.id] = widget;
    }
    return controls;
}

}  // namespace launcher
