// The hidden main window Form1 put together: the tray icon, the two menus and Timer1 on Qt, the
// logic of MainWindow, the modal dialogs and the browser work.
#pragma once

#include "MainWindow.h"
#include "QtMenus.h"
#include "QtTrayIcon.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/ObjectModel.h"
#include "store/AppState.h"
#include "store/DateTimeText.h"
#include "ui/MessageBox.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>

namespace sirano {

class TrayApp final : public QObject, private ShellUi {
    Q_OBJECT
public:
    // markFile: see QtTrayIcon.
    TrayApp(AppState& state, QString executableFolder, QString markFile);
    ~TrayApp() override;

    // From the event loop: waits up to ~30 s for a tray host (desktops often start programs before
    // their panel), then starts; without one, says so and ends the loop with a non-zero status.
    void start();

private:
    void pollTray();
    void command(CommandItem item);
    void site(int index);
    void tick();
    template <typename F>
    void guarded(F&& f);

    void processEvents() override;
    void showPasswordPrompt() override;
    void showSiteSettings() override;
    void showPasswordSettings() override;
    void quit(int status) override;

    AppState& state_;
    QString executableFolder_;
    WidgetMessageBox messages_;
    SystemClock clock_;
    QtTrayIcon tray_;
    QtMenus menus_;
    MainWindow window_;
    QTimer timer1_;
    QTimer trayPoll_;
    QElapsedTimer trayWaited_;
    // The browser work, from the moment the data folder is known.
    std::unique_ptr<Browser> browser_;
    std::unique_ptr<FileErrorLog> errorLog_;
    std::unique_ptr<Automation> automation_;
};

}  // namespace sirano
