// The tray program put together: the tray icon, the two menus and the once-a-second tick on Qt,
// the logic of TrayController, the modal dialogs and the browser work. main() only builds one of
// these with the real services; tests build it with fakes and drive it through its menus and timer.
#pragma once

#include "QtMenus.h"
#include "QtTrayIcon.h"
#include "SessionWatch.h"
#include "TrayController.h"
#include "TrayHost.h"
#include "app/AppState.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/ObjectModel.h"
#include "keyring/KeyRing.h"
#include "store/DateTimeText.h"
#include "ui/MessageBox.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

namespace sirano {

// What the tray program takes from the outside world.
struct TrayServices {
    MessageBox& messages;
    const Clock& clock;
    // The browser and the error log of a data folder, made once the folder is known.
    std::function<std::unique_ptr<Browser>(const QString& dataFolder)> browserFor;
    std::function<std::unique_ptr<ErrorLog>(const QString& dataFolder)> errorLogFor;
    // Which notification area the desktop offers now.
    std::function<TrayHost()> findTrayHost;
    // Hears the screen lock and sleep; empty: nothing is heard.
    std::function<std::unique_ptr<SessionWatch>(QObject* parent)> sessionWatchFor;
    // How often the automatic log-out and the automatic fill run.
    std::chrono::milliseconds tickInterval{1000};
    // Called each time the tray icon has been added (the start-up benchmark marks the moment).
    std::function<void()> iconShown;
    // How long an outside change to the data file must have been quiet before it is read: a
    // sync tool or a copy may write it in several steps.
    std::chrono::milliseconds settleTime{1000};
    // Keeps an encrypted data file's key for the automatic log-in; none: no keyring.
    std::shared_ptr<KeyRing> keyRing{};
    // Called once the start is through: the data loaded, the menus built, the browser work ready.
    std::function<void()> started{};
};

// The real services: message boxes on screen, the system clock, the user's own browsers through
// the companion extension while one is connected, else SIRANO's own Chromium (the profile
// "browser" in the data folder), "error.log" in the data folder, the session's buses for
// the screen lock and sleep, one tick a second, and, when SIRANO_TRAY_MARK names a file, the
// moment the icon is added written there (nanoseconds since the epoch); SIRANO_READY_MARK the
// same for the moment the start is through.
class SystemServices {
public:
    TrayServices services();

private:
    WidgetMessageBox messages_;
    SystemClock clock_;
    std::shared_ptr<SecretServiceKeyRing> keyRing_ = std::make_shared<SecretServiceKeyRing>();
};

class TrayApp final : public QObject, private ShellUi {
    Q_OBJECT
public:
    // dataFile: the data file --data named; empty for the one in the data folder.
    TrayApp(AppState& state, QString executableFolder, TrayServices services,
            QString dataFile = {});
    ~TrayApp() override;

    // From the event loop: waits up to ~30 s for a tray host (desktops often start programs before
    // their panel), then starts; without one, says so and ends the loop with a non-zero status.
    void start();

    // One tick, as the timer runs it every tickInterval: the automatic log-out first, then the
    // automatic fill.
    void tick();

private:
    void pollTray();
    void command(CommandItem item);
    void site(int index);
    void logoutUnattended();
    // Closes the windows that show or change stored data, dropping what was typed there.
    void closeDialogs();
    void watchDataFile();
    void dataFileSettled();
    template <typename F>
    void orQuit(F&& f);

    void showPasswordPrompt() override;
    void showSiteSettings() override;
    void showPasswordSettings() override;
    void quit(int status) override;

    AppState& state_;
    QString executableFolder_;
    QString dataFile_;
    TrayServices services_;
    QtTrayIcon tray_;
    QtMenus menus_;
    TrayController controller_;
    QTimer tickTimer_;
    QTimer trayPoll_;
    // Another program's changes to the data file and its folder (a rename replaces the file).
    QFileSystemWatcher dataWatch_;
    QTimer settle_;
    QPointer<QDialog> siteDialog_;  // while open
    QElapsedTimer trayWaited_;
    // The browser work, from the moment the data folder is known.
    std::unique_ptr<Browser> browser_;
    std::unique_ptr<ErrorLog> errorLog_;
    std::unique_ptr<Automation> automation_;
    // A locked screen or a sleeping machine logs out (see the constructor).
    std::unique_ptr<SessionWatch> sessionWatch_;
};

}  // namespace sirano
