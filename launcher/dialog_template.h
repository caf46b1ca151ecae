// Dialog templates: a window's layout as data (resources/dialog_102.def), and the Qt widgets
// built from it.
//
// Positions and sizes are dialog units, which scale with the dialog's font: a horizontal unit
// is a quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <cstddef>
#include <map>

#include <QFont>

class QDialog;
class QWidget;

namespace launcher {

enum class ControlKind { StaticText, ProgressBar, PushButton, Separator, LogBox };

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, width, height;
};

struct DialogTemplate {
    int id;
    const char* caption;
    const char* fontFace;
    int fontPoints;
    int x, y, width, height;
    const ControlTemplate* controls;
    size_t controlCount;
};

// Template 102, the launcher's main window.
const DialogTemplate& LauncherDialogTemplate();

// Pixels per four horizontal and per eight vertical dialog units.
struct DialogBaseUnits {
    int x;
    int y;
};

DialogBaseUnits BaseUnitsOf(const QFont& font);

// The template's font; the face "MS Shell Dlg" names the desktop's general user-interface font.
QFont DialogFont(const DialogTemplate& dialog);

// Gives `window` the template's caption, font, position and size, and creates its controls as
// children, each named by its id (objectName "1002"). Returns the controls by id.
std::map<int, QWidget*> BuildFromTemplate(QDialog& window, const DialogTemplate& dialog);

}  // namespace launcher
