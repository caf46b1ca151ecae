#include "launcher/upgrade_launcher_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLibraryInfo>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "launcher/dialog_controls.h"
#include "launcher/dialog_template.h"
#include "launcher/message_box.h"

// Outside any namespace, as Qt's resource initialisation requires.
static void InitLauncherResources() { Q_INIT_RESOURCE(launcher); }

namespace launcher {
namespace {

constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowCloseButtonHint;
const char* const kApplicationIcon = ":/icons/5.png";

QString ToQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

// The toolkit's name of a launcher language where the two differ; the others are the same.
QString ToolkitLanguage(const std::string& language) {
    static const std::map<std::string, const char*> kDiffering{
        {"us", "en"}, {"br", "pt_BR"}, {"cn", "zh_CN"}, {"cz", "cs"}, {"dk", "da"},
        {"gr", "el"}, {"jp", "ja"},    {"kr", "ko"},    {"se", "sv"}, {"tw", "zh_TW"}};
    const auto found = kDiffering.find(language);
    return QString::fromLatin1(found == kDiffering.end() ? language.c_str() : found->second);
}

// Loads the toolkit's translations of `language` from where the toolkit keeps them. Only
// letters make a language: the code comes from the registry and becomes part of a file name.
bool LoadToolkitTexts(QTranslator& translator, const std::string& language) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (language.empty() || !std::all_of(language.begin(), language.end(), letter)) return false;
    return translator.load(QStringLiteral("qtbase_") + ToolkitLanguage(language),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

template <typename Widget>
Widget* Control(const std::map<int, QWidget*>& controls, int id) {
    const auto found = controls.find(id);
    return found == controls.end() ? nullptr : qobject_cast<Widget*>(found->second);
}

}  // namespace

CUpgradeLauncherDlg::CUpgradeLauncherDlg(WindowOwner& owner, const WindowTexts& texts)
    : QDialog(nullptr, kWindowFlags), owner_(owner), texts_(texts) {
    InitLauncherResources();
    if (LoadToolkitTexts(toolkitTexts_, texts_.language)) {
        QCoreApplication::installTranslator(&toolkitTexts_);
    }
    icon_ = QIcon(QString::fromLatin1(kApplicationIcon));
    setWindowIcon(icon_);
    CreateControls();
    progressTimer_.setInterval(kProgressRefreshMs);
    connect(&progressTimer_, &QTimer::timeout, this, &CUpgradeLauncherDlg::RefreshProgress);
    progressTimer_.start();
}

void CUpgradeLauncherDlg::CreateControls() {
    const std::map<int, QWidget*> controls = BuildFromTemplate(*this, LauncherDialogTemplate());
    setWindowTitle(ToQString(texts_.caption));
    abortButton_ = Control<QPushButton>(controls, kAbortButton);
    advancedButton_ = Control<QPushButton>(controls, kAdvancedButton);
    copyButton_ = Control<QPushButton>(controls, kCopyButton);
    thisFileLabel_ = Control<QLabel>(controls, kThisFileLabel);
    totalLabel_ = Control<QLabel>(controls, kTotalLabel);
    statusText_ = Control<QLabel>(controls, kStatusText);
    logLabel_ = Control<QLabel>(controls, kLogLabel);
    fileProgressText_ = Control<QLabel>(controls, kFileProgressText);
    totalProgressText_ = Control<QLabel>(controls, kTotalProgressText);
    logBox_ = Control<QPlainTextEdit>(controls, kLogBox);
    fileProgress_ = Control<QProgressBar>(controls, kFileProgress);
    totalProgress_ = Control<QProgressBar>(controls, kTotalProgress);
    separator_ = Control<QFrame>(controls, kSeparator);

    logLabel_->setText(ToQString(texts_.technicalLog));
    copyButton_->setText(ToQString(texts_.copyButton));
    advancedButton_->setText(ToQString(texts_.advancedButton));
    abortButton_->setText(ToQString(texts_.quitButton));
    thisFileLabel_->setText(ToQString(texts_.thisFile));
    totalLabel_->setText(ToQString(texts_.total));
    connect(abortButton_, &QPushButton::clicked, this, [this] { owner_.OnAbortButton(); });
    connect(advancedButton_, &QPushButton::clicked, this, &CUpgradeLauncherDlg::ToggleAdvanced);
    connect(copyButton_, &QPushButton::clicked, this, &CUpgradeLauncherDlg::CopyLogToClipboard);

    windowWidth_ = width();
    collapsedHeight_ = separator_->geometry().y() + separator_->geometry().height();
    expandedHeight_ = height();
    ApplyWindowSize();
}

void CUpgradeLauncherDlg::SetStatusText(const std::string& text) {
    statusText_->setText(ToQString(text));
}

void CUpgradeLauncherDlg::SetLog(const std::string& content) {
    logBox_->setPlainText(ToQString(content));
}

void CUpgradeLauncherDlg::ShowForDownload() {
    RefreshProgress();
    show();
}

void CUpgradeLauncherDlg::ShowFinalLayout(bool openLog) {
    progressTimer_.stop();
    if (openLog) {
        expanded_ = true;
        ApplyWindowSize();
    }
    QRect status = statusText_->geometry();
    const QRect bar = fileProgress_->geometry();
    status.setWidth(bar.width());
    status.setBottom(bar.bottom());
    statusText_->setGeometry(status);
    show();
    for (QWidget* progressControl :
         {static_cast<QWidget*>(fileProgress_), static_cast<QWidget*>(fileProgressText_),
          static_cast<QWidget*>(totalProgress_), static_cast<QWidget*>(totalProgressText_),
          static_cast<QWidget*>(thisFileLabel_), static_cast<QWidget*>(totalLabel_)}) {
        progressControl->hide();
    }
    abortButton_->setText(ToQString(texts_.startGameButton));
}

bool CUpgradeLauncherDlg::AskMessageBox(const MessageBoxRequest& request) {
    return ShowMessageBox(this, request);
}

void CUpgradeLauncherDlg::RunEventLoop() { QApplication::exec(); }

// exit, not quit: Qt's quit asks the windows to close first, and this window declines every
// close (closing means button 2), which would cancel the quit once it has been shown.
void CUpgradeLauncherDlg::Quit() {
    progressTimer_.stop();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void CUpgradeLauncherDlg::Wake() {
    QMetaObject::invokeMethod(this, "ServeCalls", Qt::QueuedConnection);
}

void CUpgradeLauncherDlg::ServeCalls() { owner_.ServeMainThreadCalls(); }

void CUpgradeLauncherDlg::ApplyWindowSize() {
    setFixedSize(windowWidth_, expanded_ ? expandedHeight_ : collapsedHeight_);
}

void CUpgradeLauncherDlg::ToggleAdvanced() {
    expanded_ = !expanded_;
    ApplyWindowSize();
}

void CUpgradeLauncherDlg::CopyLogToClipboard() {
    logBox_->selectAll();
    logBox_->ensureCursorVisible();
    logBox_->copy();
    QTextCursor cursor = logBox_->textCursor();
    cursor.movePosition(QTextCursor::End);
    logBox_->setTextCursor(cursor);
    logBox_->ensureCursorVisible();
}

void CUpgradeLauncherDlg::RefreshProgress() {
    const std::optional<ProgressView> progress = owner_.TakeNewProgress();
    if (!progress) return;
    fileProgress_->setValue(progress->file.percent);
    fileProgressText_->setText(ToQString(progress->file.text));
    totalProgress_->setValue(progress->total.percent);
    totalProgressText_->setText(ToQString(progress->total.text));
}

void CUpgradeLauncherDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    owner_.OnAbortButton();
}

void CUpgradeLauncherDlg::reject() { owner_.OnAbortButton(); }

void CUpgradeLauncherDlg::paintEvent(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QSize size = icon_.actualSize(QSize(32, 32));
    icon_.paint(&painter,
                QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size));
}

}  // namespace launcher

namespace {

// The platform plugin that loads without any display (it shows nothing): the last platform the
// application object tries, so that a desktop whose display cannot be reached ends there rather
// than in the toolkit's abort.
constexpr char kFallbackPlatform[] = "minimal";
constexpr char kFallbackPluginFile[] = "libqminimal.so";

// The application object the library made, for a program that had none.
std::unique_ptr<QApplication>& OwnedApplication() {
    static std::unique_ptr<QApplication> application;
    return application;
}

// Whether the fallback plugin lies where the toolkit looks for platform plugins: without it, a
// display that cannot be reached would still end the process.
bool FallbackPluginPresent() {
    QStringList directories = QCoreApplication::libraryPaths();
    for (QString& directory : directories) directory += QStringLiteral("/platforms");
    directories.append(qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH"));
    const QString file = QString::fromLatin1(kFallbackPluginFile);
    return std::any_of(directories.cbegin(), directories.cend(), [&](const QString& directory) {
        return !directory.isEmpty() && QFileInfo::exists(directory + QLatin1Char('/') + file);
    });
}

// The platforms to try in turn: the player's choice, or else the session's own display system
// before the other one; the fallback last.
QByteArray PlatformList() {
    QByteArray platforms = qgetenv("QT_QPA_PLATFORM");
    if (platforms.isEmpty()) {
        const bool wayland = qgetenv("XDG_SESSION_TYPE") == "wayland" ||
                             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        platforms = wayland ? "wayland;xcb" : "xcb;wayland";
    }
    return platforms + ';' + kFallbackPlatform;
}

// The toolkit's messages while it tries one display after the other. When none works, they are
// dropped: the launcher says so in one line of its own. Otherwise they go on as they came.
class HeldMessages {
public:
    HeldMessages() : previous_(qInstallMessageHandler(&Hold)) {}
    ~HeldMessages() { qInstallMessageHandler(previous_); }
    HeldMessages(const HeldMessages&) = delete;
    HeldMessages& operator=(const HeldMessages&) = delete;

    void Release(bool pass) {
        qInstallMessageHandler(previous_);
        const std::lock_guard<std::mutex> lock(Mutex());
        if (pass) {
            for (const Message& message : Messages()) {
                const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
                previous_(message.type, context, message.text);
            }
        }
        Messages().clear();
    }

private:
    struct Message {
        QtMsgType type;
        QByteArray category;
        QString text;
    };
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<Message>& Messages() {
        static std::vector<Message> messages;
        return messages;
    }
    static void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        const std::lock_guard<std::mutex> lock(Mutex());
        Messages().push_back(Message{type, QByteArray(context.category), text});
    }

    const QtMessageHandler previous_;
};

// Makes the application object on the first display that works; false, with none made, when no
// display can show a window.
bool MakeApplication() {
    if (!FallbackPluginPresent()) return false;
    // The platforms go on the command line rather than into the environment, which the game
    // started later inherits and other threads read meanwhile. The application object keeps
    // the command line for its whole life, and may take arguments out of it.
    static QByteArray name;
    static QByteArray option;
    static QByteArray platforms;
    static char* argv[4];
    static int argc;
    name = "UpgradeLauncher";
    option = "-platform";
    platforms = PlatformList();
    argv[0] = name.data();
    argv[1] = option.data();
    argv[2] = platforms.data();
    argv[3] = nullptr;
    argc = 3;
    HeldMessages messages;
    OwnedApplication() = std::make_unique<QApplication>(argc, argv);
    const bool displayed = QGuiApplication::platformName() != QLatin1String(kFallbackPlatform);
    messages.Release(displayed);
    if (!displayed) {
        OwnedApplication().reset();
        return false;
    }
    // The window is hidden for most of a run and message boxes come and go: only the
    // launcher's quit ends the event loop.
    OwnedApplication()->setQuitOnLastWindowClosed(false);
    return true;
}

}  // namespace

// The library's entry point: the window, hidden, with the application object it needs when the
// program has none; null when no display can show it.
extern "C" __attribute__((visibility("default"))) launcher::LauncherWindow* CreateLauncherWindow(
    launcher::WindowOwner* owner, const launcher::WindowTexts* texts) {
    if (!QApplication::instance() && !MakeApplication()) return nullptr;
    return new launcher::CUpgradeLauncherDlg(*owner, *texts);
}

// The application object must go before the program's exit handlers, which take parts of the
// toolkit with them.
extern "C" __attribute__((visibility("default"))) void ReleaseLauncherApplication() {
    OwnedApplication().reset();
}
