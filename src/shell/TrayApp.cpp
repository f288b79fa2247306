#include "TrayApp.h"

#include "browser/devtools/DevToolsBrowser.h"
#include "editor/SiteSettingsDialog.h"
#include "login/PasswordPrompt.h"
#include "login/PasswordSettingsDialog.h"
#include "store/Error.h"

#include <QCoreApplication>
#include <QDir>

namespace sirano {
namespace {
constexpr int kTrayWaitMs = 30'000;
constexpr int kTrayPollMs = 250;
}  // namespace

TrayApp::TrayApp(AppState& state, QString executableFolder, QString markFile)
    : state_(state),
      executableFolder_(std::move(executableFolder)),
      tray_(std::move(markFile)),
      window_(state, tray_, menus_, *this, messages_, clock_) {
    tray_.setContextMenu(menus_.commandMenu());
    connect(&tray_, &QtTrayIcon::mouseMessage, this,
            [this](int message) { guarded([&] { window_.formMouseMove(message); }); });
    connect(&menus_, &QtMenus::commandChosen, this, &TrayApp::command);
    connect(&menus_, &QtMenus::siteChosen, this, &TrayApp::site);
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { window_.formUnload(); });

    // Ticks from creation on; until log-in they find nothing to do.
    timer1_.setInterval(1000);
    connect(&timer1_, &QTimer::timeout, this, &TrayApp::tick);
    timer1_.start();

    trayPoll_.setSingleShot(true);
    trayPoll_.setInterval(kTrayPollMs);
    connect(&trayPoll_, &QTimer::timeout, this, &TrayApp::pollTray);
}

TrayApp::~TrayApp() {
    window_.formUnload();
}

void TrayApp::start() {
    trayWaited_.start();
    QTimer::singleShot(0, this, &TrayApp::pollTray);
}

void TrayApp::pollTray() {
    if (!QtTrayIcon::trayAvailable()) {
        if (trayWaited_.elapsed() < kTrayWaitMs) {
            trayPoll_.start();
            return;
        }
        messages_.show(nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"),
                       QStringLiteral("通知領域 (システムトレイ) が見つかりません。\n"
                                      "SIRANO は通知領域のアイコンから使うため、起動できません。"),
                       QMessageBox::Ok);
        quit(exitstatus::kNoTray);
        return;
    }
    guarded([&] {
        if (const auto status = window_.formLoad(executableFolder_)) {
            quit(*status);
            return;
        }
        const QString folder = state_.dataFolder;
        browser_ = createChromiumBrowser(QDir(folder).filePath(QLatin1String(kBrowserProfileName)));
        errorLog_ = std::make_unique<FileErrorLog>(folder, clock_);
        automation_ = std::make_unique<Automation>(state_, *browser_, *errorLog_, window_, clock_);
    });
}

void TrayApp::command(CommandItem item) {
    guarded([&] {
        switch (item) {
            case CommandItem::Memory:
                if (automation_)
                    automation_->mnuMemoryClick();
                break;
            case CommandItem::Open:
                window_.mnuOpenClick();
                break;
            case CommandItem::LogInOut:
                window_.mnuLogInOutClick();
                break;
            case CommandItem::Password:
                window_.mnuPasswordClick();
                break;
            case CommandItem::Version:
                window_.mnuVersionClick();
                break;
            case CommandItem::End:
                window_.mnuEndClick();
                break;
        }
    });
}

void TrayApp::site(int index) {
    Q_UNUSED(index);
}

void TrayApp::tick() {}

// A failure in a command ends the program with its message, as an unhandled error would; the
// data file holds every change made before it.
template <typename F>
void TrayApp::guarded(F&& f) {
    QString failure;
    try {
        f();
        return;
    } catch (const SiranoError& e) {
        failure = e.message();
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    messages_.show(nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"), failure,
                   QMessageBox::Ok);
    window_.formUnload();
    quit(1);
}

void TrayApp::processEvents() {
    QCoreApplication::processEvents();
}

void TrayApp::showPasswordPrompt() {
    PasswordPrompt prompt(state_, window_, messages_, PasswordPrompt::LogIn);
    prompt.exec();
}

void TrayApp::showSiteSettings() {
    SiteSettingsDialog dialog(state_, window_, messages_);
    // The hub side of the disk is this dialog's own icon, as the logged-out tray icon is.
    dialog.setWindowIcon(trayIconImage(TrayLook::LoggedOut));
    dialog.exec();
}

void TrayApp::showPasswordSettings() {
    PasswordSettingsDialog dialog(state_, window_, messages_);
    dialog.exec();
}

void TrayApp::quit(int status) {
    QCoreApplication::exit(status);
}

}  // namespace sirano
