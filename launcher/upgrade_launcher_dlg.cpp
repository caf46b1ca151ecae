#include "launcher/upgrade_launcher_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>

#include "launcher/dialog_template.h"
#include "launcher/game_start.h"
#include "launcher/launch_policy.h"
#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "launcher/string_table.h"
#include "platform/process.h"
#include "updatelib/base/debugger_stream.h"
#include "updatelib/base/diagnostic_channel.h"

// Outside any namespace, as Qt's resource initialisation requires.
static void InitLauncherResources() { Q_INIT_RESOURCE(launcher); }

namespace launcher {
namespace {

constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowCloseButtonHint;
// About one refresh per frame of a 60 Hz display.
constexpr int kProgressRefreshMs = 16;
// A download shows the window once its current file has more bytes than this.
constexpr double kHiddenDownloadBytes = 21.0;
const char* const kApplicationIcon = ":/icons/5.png";
const char* const kMissingTextFileMessage =
    "Cannot load resource files. Re-installing the game may fix this problem.";

enum ControlId {
    kAbortButton = 2,
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

QString ToQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::string ApplicationTitle() { return WindowCaption(); }

// The bar position of a percentage: truncated towards zero, within the bar's range.
int BarPosition(double percentage) {
    if (!(percentage > 0.0)) return 0;
    if (percentage >= 100.0) return 100;
    return static_cast<int>(percentage);
}

// The part of `url` after its last '/', or all of it.
std::string LastPathPart(const std::string& url) {
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

// The log box's content after one flushed piece of the technical log: pieces are separated by
// CR LF, and the newline that ends each piece is dropped. An empty piece, or one that does not
// end in a newline, loses nothing.
std::string AppendLogPiece(std::string content, const std::string& piece) {
    if (piece.empty()) return content;
    if (!content.empty()) content += "\r\n";
    content += piece;
    if (content.back() == '\n') content.pop_back();
    return content;
}

template <typename Widget>
Widget* Control(const std::map<int, QWidget*>& controls, int id) {
    const auto found = controls.find(id);
    return found == controls.end() ? nullptr : qobject_cast<Widget*>(found->second);
}

}  // namespace

CUpgradeLauncherDlg::CUpgradeLauncherDlg()
    : QDialog(nullptr, kWindowFlags),
      messageBox(
          [this](const MessageBoxRequest& request) { return ShowMessageBox(this, request); }),
      uiCalls_([this] { QMetaObject::invokeMethod(this, "ServeUiCalls", Qt::QueuedConnection); }) {
    InitLauncherResources();
    iconHandle_ = QIcon(QString::fromLatin1(kApplicationIcon));
    progressTimer_.setInterval(kProgressRefreshMs);
    connect(&progressTimer_, &QTimer::timeout, this, &CUpgradeLauncherDlg::RefreshProgress);
}

CUpgradeLauncherDlg::~CUpgradeLauncherDlg() {
    closing_ = true;
    progressTimer_.stop();
    WaitForThreads([] { QCoreApplication::processEvents(); });
}

bool CUpgradeLauncherDlg::Create() {
    CreateControls();
    return OnInitDialog();
}

void CUpgradeLauncherDlg::CreateControls() {
    const std::map<int, QWidget*> controls = BuildFromTemplate(*this, LauncherDialogTemplate());
    setWindowTitle(ToQString(WindowCaption()));
    setEnabled(false);
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

    connect(abortButton_, &QPushButton::clicked, this, &CUpgradeLauncherDlg::OnAbortButton);
    connect(advancedButton_, &QPushButton::clicked, this, &CUpgradeLauncherDlg::ToggleAdvanced);
    connect(copyButton_, &QPushButton::clicked, this, &CUpgradeLauncherDlg::CopyLogToClipboard);
}

bool CUpgradeLauncherDlg::OnInitDialog() {
    setWindowIcon(iconHandle_);
    if (!LoadLocalizedTexts()) {
        ShowBox(kMissingTextFileMessage, ApplicationTitle(), MessageIcon::Stop, MessageButtons::Ok);
        Quit();
        return false;
    }
    if (!AppendGameLanguage()) {
        ShowBox(MissingInstallationMessage(false), ApplicationTitle(), MessageIcon::Stop,
                MessageButtons::Ok);
        Quit();
        return false;
    }
    if (!Settings().checkForUpdates) {
        StartGame();
        Quit();
        return true;
    }
    logLabel_->setText(ToQString(GetText("IDS_TECHNICAL_LOG")));
    copyButton_->setText(ToQString(GetText("IDS_BTN_CLIPBORAD")));
    advancedButton_->setText(ToQString(GetText("IDS_BTN_ADVANCED")));
    abortButton_->setText(ToQString(GetText("IDS_QUIT_BUTTON_CAPTION")));
    thisFileLabel_->setText(ToQString(GetText("IDS_THIS_FILE")));
    totalLabel_->setText(ToQString(GetText("IDS_TOTAL")));
    progressTimer_.start();
    StartUpdateRun();
    MeasureWindow();
    ApplyWindowSize();
    return true;
}

void CUpgradeLauncherDlg::StartUpdateRun() {
    Tern::LibraryChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    Tern::TrustChannel().SetDiagnosticStream(&Tern::GetDebuggerStream());
    if (LoadResourceString(IDS_GAME_NAME) == LoadResourceString(IDS_NOT_ADAPTED)) {
        ShowBox(LoadResourceString(IDS_NOT_ADAPTED), ApplicationTitle(), MessageIcon::None,
                MessageButtons::Ok);
        Quit();
        return;
    }
    const std::string gameId = ReadGameId();
    if (!gameId.empty()) {
        Start(gameId, UpdateKeyPath(), Settings().uiLanguage);
        return;
    }
    ShowBox(MissingInstallationMessage(true), ApplicationTitle(), MessageIcon::Stop,
            MessageButtons::Ok);
    Quit();
}

void CUpgradeLauncherDlg::MeasureWindow() {
    windowWidth_ = width();
    collapsedHeight_ = separator_->geometry().y() + separator_->geometry().height();
    expandedHeight_ = height();
}

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

void CUpgradeLauncherDlg::OnAbortButton() {
    if (closing_) return;
    if (buttonMode_ == 0) {
        StartGame();
        Quit();
        return;
    }
    SetStatusText(GetText("IDS_ABORTING"));
    Abort();
    StartGame();
}

void CUpgradeLauncherDlg::StartGame() {
    if (gameStarted_.exchange(true)) return;
    if (Settings().executableName.empty()) {
        ShowBox(LoadResourceString(IDS_MISSING_EXECUTABLE_PATH),
                LoadResourceString(IDS_ABORTING_CAPTION), MessageIcon::None, MessageButtons::Ok);
        Quit();
        return;
    }
    const long result = LaunchGame();
    if (result <= platform::kOpenSucceededAbove) {
        ShowBox(GameStartFailureMessage(result), ApplicationTitle(), MessageIcon::None,
                MessageButtons::Ok);
    }
}

void CUpgradeLauncherDlg::OnProgress(double totalBytes, double totalReceived, double fileBytes,
                                     double fileReceived) {
    latestProgress_.Store(ProgressFigures{totalBytes, totalReceived, fileBytes, fileReceived});
    if (fileReceived > kHiddenDownloadBytes && !showRequested_.exchange(true)) {
        QMetaObject::invokeMethod(this, "ShowForDownload", Qt::QueuedConnection);
    }
}

void CUpgradeLauncherDlg::OnDownloadStarted(const std::string& url, const std::string& description,
                                            uint32_t, uint32_t) {
    CallOnUiThread([&] {
        SetStatusText(description.empty() ? GetText("IDS_CURRENT_DOWNLOAD_FILE", LastPathPart(url))
                                          : description);
    });
}

void CUpgradeLauncherDlg::OnFinished(int32_t result) {
    CallOnUiThread([&] { FinishRun(result); });
}

bool CUpgradeLauncherDlg::ConfirmRunUpdates() {
    bool runThem = false;
    CallOnUiThread([&] {
        runThem = ShowBox(GetText("IDS_CAN_RUN_UPDATE_FILE"),
                          GetText("IDS_CAN_RUN_UPDATE_FILE_DLG_TITLE"), MessageIcon::None,
                          MessageButtons::YesNo);
    });
    return runThem;
}

void CUpgradeLauncherDlg::OnLogText(const std::string& text) {
    CallOnUiThread([&] {
        logContent_ = AppendLogPiece(std::move(logContent_), text);
        logBox_->setPlainText(ToQString(logContent_));
    });
}

void CUpgradeLauncherDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    OnAbortButton();
}

void CUpgradeLauncherDlg::reject() { OnAbortButton(); }

void CUpgradeLauncherDlg::paintEvent(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QSize size = iconHandle_.actualSize(QSize(32, 32));
    iconHandle_.paint(
        &painter,
        QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size));
}

void CUpgradeLauncherDlg::ServeUiCalls() { uiCalls_.ServePending(); }

void CUpgradeLauncherDlg::ShowForDownload() {
    if (closing_) return;
    RefreshProgress();
    show();
}

void CUpgradeLauncherDlg::CallOnUiThread(const std::function<void()>& call) {
    if (closing_) return;
    uiCalls_.Call([&] {
        if (closing_) return;
        RefreshProgress();
        call();
    });
}

void CUpgradeLauncherDlg::RefreshProgress() {
    const std::optional<ProgressFigures> figures = latestProgress_.TakeNew();
    if (!figures) return;
    ShowProgressPair(totalProgress_, totalProgressText_, figures->totalReceived,
                     figures->totalBytes);
    ShowProgressPair(fileProgress_, fileProgressText_, figures->fileReceived, figures->fileBytes);
}

void CUpgradeLauncherDlg::ShowProgressPair(QProgressBar* bar, QLabel* text, double received,
                                           double size) {
    const double percentage = size == 0.0 ? 0.0 : received / size * 100.0;
    bar->setValue(BarPosition(percentage));
    text->setText(ToQString(GetText("IDS_DOWNLOAD_PROGRESS", received, size, percentage)));
}

void CUpgradeLauncherDlg::FinishRun(int32_t result) {
    progressTimer_.stop();
    const RunOutcome outcome = OutcomeOfRun(result);
    if (outcome.statusKey) SetStatusText(GetText(outcome.statusKey));
    if (outcome.startGame) StartGame();
    if (outcome.close) {
        Quit();
        return;
    }
    if (outcome.expandLog) {
        expanded_ = true;
        ApplyWindowSize();
    }
    ShowFinalLayout();
}

void CUpgradeLauncherDlg::ShowFinalLayout() {
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
    logLabel_->setText(ToQString(GetText("IDS_TECHNICAL_LOG")));
    copyButton_->setText(ToQString(GetText("IDS_BTN_CLIPBORAD")));
    advancedButton_->setText(ToQString(GetText("IDS_BTN_ADVANCED")));
    abortButton_->setText(ToQString(GetText("IDS_START_GAME_BUTTON_CAPTION")));
    buttonMode_ = 0;
}

void CUpgradeLauncherDlg::SetStatusText(const std::string& text) {
    statusText_->setText(ToQString(text));
}

bool CUpgradeLauncherDlg::ShowBox(const std::string& text, const std::string& caption,
                                  MessageIcon icon, MessageButtons buttons) {
    return messageBox(MessageBoxRequest{text, caption, icon, buttons});
}

void CUpgradeLauncherDlg::Quit() {
    closing_ = true;
    progressTimer_.stop();
    Stop();
    quitPosted_ = true;
    // exit, not quit: Qt's quit asks the windows to close first, and this window declines every
    // close (closing means button 2), which would cancel the quit once it has been shown.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

}  // namespace launcher
