#include "TrayApp.h"

#include "browser/BrowserChoice.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/extension/ExtensionBrowser.h"
#include "editor/SiteSettingsDialog.h"
#include "login/PasswordPrompt.h"
#include "login/PasswordSettingsDialog.h"
#include "store/Error.h"
#include "ui/Controls.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace sirano {
namespace {
constexpr int kTrayWaitMs = 30'000;
constexpr int kTrayPollMs = 250;

TrayServices withKeyRing(TrayServices services) {
    if (!services.keyRing)
        services.keyRing = std::make_shared<NoKeyRing>();
    return services;
}

// The moment, in nanoseconds since the epoch, written to file (the start-up benchmark reads it).
void markTime(const QString& file) {
    if (file.isEmpty())
        return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    QFile mark(file);
    if (mark.open(QIODevice::WriteOnly | QIODevice::Truncate))
        mark.write(QByteArray::number(static_cast<qlonglong>(ns)));
}

}  // namespace

TrayServices SystemServices::services() {
    return TrayServices{
        messages_,
        clock_,
        [](const QString& dataFolder) -> std::unique_ptr<Browser> {
            auto own = createChromiumBrowser(
                QDir(dataFolder).filePath(QLatin1String(kBrowserProfileName)), std::nullopt, true);
            QString why;
            std::unique_ptr<ExtensionBrowser> users = createExtensionBrowser(&why);
            if (!users) {
                qWarning().noquote() << "sirano:" << why;
                return own;
            }
            return std::make_unique<BrowserChoice>(std::move(users), std::move(own));
        },
        [this](const QString& dataFolder) -> std::unique_ptr<ErrorLog> {
            return std::make_unique<FileErrorLog>(dataFolder, clock_);
        },
        &findTrayHost,
        [](QObject* parent) { return std::make_unique<SessionWatch>(parent); },
        std::chrono::milliseconds(1000),
        [mark = qEnvironmentVariable("SIRANO_TRAY_MARK")] { markTime(mark); },
        std::chrono::milliseconds(1000),
        keyRing_,
        [mark = qEnvironmentVariable("SIRANO_READY_MARK")] { markTime(mark); },
    };
}

TrayApp::TrayApp(AppState& state, QString executableFolder, TrayServices services, QString dataFile)
    : state_(state),
      executableFolder_(std::move(executableFolder)),
      dataFile_(std::move(dataFile)),
      services_(withKeyRing(std::move(services))),
      menus_(siteMenuKindForPlatform()),
      controller_(state, tray_, menus_, *this, services_.messages, services_.clock,
                  *services_.keyRing) {
    tray_.setContextMenu(menus_.commandMenu());
    tray_.setParent(this);
    connect(&tray_, &QtTrayIcon::clicked, this, [this](TrayClick click) {
        // A dialog of ours waits for its answer, perhaps behind the browser or minimised, and
        // no menu can be used meanwhile: the click brings it back.
        if (QWidget* open = QApplication::activeModalWidget()) {
            // Under an X11 tray Qt pops the context menu up itself on a right click.
            menus_.commandMenu()->hide();
            if (open->isMinimized())
                open->showNormal();
            open->raise();
            open->activateWindow();
            return;
        }
        orQuit([&] { controller_.onTrayClick(click); });
    });
    connect(&menus_, &QtMenus::commandChosen, this, &TrayApp::command);
    connect(&menus_, &QtMenus::siteChosen, this, &TrayApp::site);
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { controller_.removeIcon(); });
    if (services_.iconShown)
        connect(&tray_, &QtTrayIcon::added, this, [this] { services_.iconShown(); });
    // Without a master password a log-in needs no prompt, so a log-out would protect nothing.
    if (services_.sessionWatchFor) {
        sessionWatch_ = services_.sessionWatchFor(this);
        connect(sessionWatch_.get(), &SessionWatch::locked, this, [this] {
            if (state_.loggedIn && !state_.settings.masterPassword.isEmpty())
                logoutUnattended();
        });
    }

    // Ticks from creation on; until log-in they find nothing to do.
    tickTimer_.setObjectName(QStringLiteral("tickTimer"));
    tickTimer_.setInterval(services_.tickInterval);
    connect(&tickTimer_, &QTimer::timeout, this, &TrayApp::tick);
    tickTimer_.start();

    settle_.setSingleShot(true);
    settle_.setInterval(services_.settleTime);
    connect(&settle_, &QTimer::timeout, this, &TrayApp::dataFileSettled);
    const auto changed = [this] { settle_.start(); };
    connect(&dataWatch_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&dataWatch_, &QFileSystemWatcher::directoryChanged, this, changed);

    trayPoll_.setSingleShot(true);
    trayPoll_.setInterval(kTrayPollMs);
    connect(&trayPoll_, &QTimer::timeout, this, &TrayApp::pollTray);
}

TrayApp::~TrayApp() {
    controller_.removeIcon();
}

void TrayApp::start() {
    trayWaited_.start();
    QTimer::singleShot(0, this, &TrayApp::pollTray);
}

void TrayApp::pollTray() {
    const TrayHost host = services_.findTrayHost();
    if (host == TrayHost::None) {
        if (trayWaited_.elapsed() < kTrayWaitMs) {
            trayPoll_.start();
            return;
        }
        services_.messages.show(
            nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"),
            QStringLiteral("通知領域 (システムトレイ) が見つかりません。\n"
                           "SIRANO は通知領域のアイコンから使うため、起動できません。"),
            QMessageBox::Ok);
        quit(exitstatus::kNoTray);
        return;
    }
    if (host == TrayHost::StatusNotifier)
        menus_.addSitesToCommandMenu();
    orQuit([&] {
        if (const auto status = controller_.start(executableFolder_, dataFile_)) {
            quit(*status);
            return;
        }
        browser_ = services_.browserFor(state_.dataFolder);
        controller_.setOnLogout([this] {
            browser_->forgetWrites();
            automation_->forgetSites();
        });
        errorLog_ = services_.errorLogFor(state_.dataFolder);
        automation_ = std::make_unique<Automation>(state_, *browser_, *errorLog_, controller_);
        watchDataFile();
        controller_.noticeConflictCopies();
        if (services_.started)
            services_.started();
    });
}

// The file is watched anew each time: one replaced by a rename is another file, which the
// watcher lets go.
void TrayApp::watchDataFile() {
    const QString folder = QFileInfo(state_.dataFilePath).absolutePath();
    if (!dataWatch_.directories().contains(folder))
        dataWatch_.addPath(folder);
    if (!dataWatch_.files().contains(state_.dataFilePath) && QFile::exists(state_.dataFilePath))
        dataWatch_.addPath(state_.dataFilePath);
}

void TrayApp::dataFileSettled() {
    orQuit([&] {
        watchDataFile();
        const bool wasLoggedIn = state_.loggedIn;
        const bool taken = controller_.reloadDataFile();
        if (wasLoggedIn && !state_.loggedIn) {
            // Logged out by the change (a new password, a file encrypted elsewhere): as unattended.
            closeDialogs();
        } else if (auto* dialog = qobject_cast<SiteSettingsDialog*>(siteDialog_.data());
                   dialog && taken) {
            // An open site dialog shows what is there now.
            dialog->showCurrentContents();
        }
        controller_.noticeConflictCopies();
    });
}

void TrayApp::command(CommandItem item) {
    orQuit([&] {
        switch (item) {
            case CommandItem::Capture:
                if (automation_) {
                    const AutomationReport report = automation_->capture();
                    if (report.saveFailure)
                        reportCaptureNotSaved(state_, report.saveFailure, services_.messages);
                }
                break;
            case CommandItem::SiteSettings:
                controller_.openSiteSettings();
                break;
            case CommandItem::LogInOut:
                controller_.toggleLogin();
                break;
            case CommandItem::PasswordSettings:
                controller_.openPasswordSettings();
                break;
            case CommandItem::Version:
                controller_.showVersion();
                break;
            case CommandItem::Quit:
                controller_.quitProgram();
                break;
        }
    });
}

// The site menu reaches the browser only once start-up has made the browser work, and only while
// logged in (the menu does not open otherwise); the fill logs its own failures.
void TrayApp::site(int index) {
    if (automation_ && state_.loggedIn)
        automation_->fillSite(static_cast<int16_t>(index));
}

// The automatic log-out comes first and needs no browser: a browser that hangs or is gone never
// keeps the user logged in.
void TrayApp::tick() {
    if (!state_.loggedIn)
        return;
    if (autoLogoutDue(state_, services_.clock.now()))
        logoutUnattended();
    if (automation_)
        automation_->tick();
}

// A log-out nobody asked for at that moment (the set minutes passed, the screen locked) also
// closes the windows that show or change stored data: a dialog left open, its values perhaps
// revealed, would otherwise keep serving whoever comes to the screen. What was typed there and
// not yet stored is dropped, as "ｷｬﾝｾﾙ" would drop it; a question box answers no.
void TrayApp::logoutUnattended() {
    controller_.logout();
    closeDialogs();
}

void TrayApp::closeDialogs() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            dialog->reject();
    }
}

// A failure in a command ends the program with its message, as an unhandled error would; the
// data file holds every change made before it.
template <typename F>
void TrayApp::orQuit(F&& f) {
    QString failure;
    try {
        f();
        return;
    } catch (const SiranoError& e) {
        failure = e.message();
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    services_.messages.show(nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"), failure,
                            QMessageBox::Ok);
    controller_.removeIcon();
    quit(1);
}

namespace {

// Modal to nothing but itself: an application-modal dialog would also block the tray icon's
// own window, and a click on the icon could then never bring back a dialog that went behind
// the browser or was minimised. The tray's click handler keeps the menus away instead.
int runDialog(QDialog& dialog) {
    dialog.setWindowModality(Qt::WindowModal);
    return dialog.exec();
}

}  // namespace

void TrayApp::showPasswordPrompt() {
    PasswordPrompt prompt(state_, controller_, services_.messages, PasswordPrompt::LogIn);
    runDialog(prompt);
}

void TrayApp::showSiteSettings() {
    SiteSettingsDialog dialog(state_, controller_.editorState(), controller_, services_.messages);
    siteDialog_ = &dialog;
    // The hub side of the disk is this dialog's own icon, as the logged-out tray icon is.
    dialog.setWindowIcon(trayIconImage(TrayLook::LoggedOut));
    runDialog(dialog);
}

void TrayApp::showPasswordSettings() {
    PasswordSettingsDialog dialog(state_, controller_, services_.messages, *services_.keyRing);
    runDialog(dialog);
}

void TrayApp::quit(int status) {
    QCoreApplication::exit(status);
}

}  // namespace sirano
