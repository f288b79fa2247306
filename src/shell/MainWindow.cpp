#include "MainWindow.h"

#include "store/DataFile.h"
#include "store/Error.h"

#include <QDir>
#include <QFileInfo>

namespace sirano {

QString aboutText() {
    return QStringLiteral("SIRANO Ver." SIRANO_VERSION
                          "\r"
                          "Copyright (C) 2026 The SIRANO developers");
}

MainWindow::MainWindow(AppState& state, TrayIcon& tray, Menus& menus, ShellUi& ui,
                       MessageBox& messages, const Clock& clock)
    : state_(state), tray_(tray), menus_(menus), ui_(ui), messages_(messages), clock_(clock) {}

std::optional<int> MainWindow::formLoad(const QString& executableFolder) {
    state_.generator.reseedFromClock();
    editor_.asterisk = true;
    tray_.add(TrayLook::LoggedIn);
    iconShown_ = true;
    state_.siteTable.setSiteCount(0);

    QString folder;
    try {
        folder = locateDataFolder(executableFolder);
    } catch (const DataFolderError& e) {
        return refuse(exitstatus::kNoDataFolder,
                      QStringLiteral("データフォルダを用意できません。\n\nフォルダ: %1\n理由: %2")
                          .arg(e.folder().isEmpty() ? QStringLiteral("-")
                                                    : QDir::toNativeSeparators(e.folder()),
                               e.reasonText(Language::Japanese)));
    }
    LockAttempt attempt = DataFolderLock::acquire(folder);
    switch (attempt.outcome) {
        case LockAttempt::Outcome::Taken:
            lock_ = std::move(attempt.lock);
            break;
        case LockAttempt::Outcome::HeldByLiveProcess:
            return refuse(exitstatus::kAlreadyRunning,
                          QStringLiteral("SIRANO は既に起動しています。\nデータフォルダ: %1")
                              .arg(QDir::toNativeSeparators(folder)));
        case LockAttempt::Outcome::CannotWrite:
            // Not a second copy: a read-only folder or a full disk, which the user can mend.
            return refuse(exitstatus::kNoDataFolder,
                          QStringLiteral("データフォルダにロックファイルを作成できません。\n\n"
                                         "ファイル: %1\n理由: %2")
                              .arg(QDir::toNativeSeparators(
                                       QDir(folder).filePath(QLatin1String(kLockFileName))),
                                   reasonText(attempt.reason, Language::Japanese)));
    }
    state_.dataFolder = folder;
    state_.dataFilePath = QDir(folder).filePath(QLatin1String(kDataFileName));

    if (QFileInfo(state_.dataFilePath).isFile()) {
        try {
            StoreContents loaded = loadDataFile(state_.dataFilePath, state_.generator);
            state_.siteTable = std::move(loaded.siteTable);
            state_.settings = loaded.settings;
        } catch (const LoadError& e) {
            QString where = e.line() > 0 ? QStringLiteral("%1 行目").arg(e.line()) : QString();
            if (e.position() > 0)
                where += QStringLiteral(" %1 番目の値").arg(e.position());
            return refuse(
                exitstatus::kDataFileUnreadable,
                QStringLiteral("データファイルを読み込めません。ファイルは変更していません。"
                               "\n\nファイル: %1\n位置: %2\n理由: %3")
                    .arg(QDir::toNativeSeparators(e.file()),
                         where.isEmpty() ? QStringLiteral("-") : where,
                         e.reasonText(Language::Japanese)));
        }
        if (state_.settings.autoLoginAtStart != 0) {
            login();
        } else {
            logout();
            showPasswordPrompt();
        }
    } else {
        login();
    }
    menuSirano();
    return std::nullopt;
}

int MainWindow::refuse(int status, const QString& text) {
    messages_.show(nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"), text, QMessageBox::Ok);
    return status;
}

void MainWindow::formMouseMove(int message) {
    if (message == kLeftButtonDown) {
        if (!state_.loggedIn)
            return;
        ui_.processEvents();
        menus_.popupSiteMenu();
    } else if (message == kRightButtonDown) {
        ui_.processEvents();
        menus_.popupCommandMenu();
    }
}

void MainWindow::mnuLogInOutClick() {
    switch (logInOutAction(state_)) {
        case LogInOutAction::Logout:
            logout();
            break;
        case LogInOutAction::Login:
            login();
            break;
        case LogInOutAction::Prompt:
            showPasswordPrompt();
            break;
    }
}

void MainWindow::mnuOpenClick() {
    if (state_.loggedIn)
        ui_.showSiteSettings();
}

void MainWindow::mnuPasswordClick() {
    ui_.showPasswordSettings();
}

void MainWindow::mnuVersionClick() {
    messages_.show(nullptr, QMessageBox::Information, QStringLiteral("Information"), aboutText(),
                   QMessageBox::Ok);
}

void MainWindow::mnuEndClick() {
    formUnload();
    ui_.quit(0);
}

void MainWindow::formUnload() {
    if (!iconShown_)
        return;
    tray_.remove();
    iconShown_ = false;
}

void MainWindow::showPasswordPrompt() {
    ui_.showPasswordPrompt();
}

void MainWindow::saveSirano() {
    saveDataFile(state_.dataFilePath, state_.generator, state_.siteTable, state_.settings);
}

void MainWindow::menuSirano() {
    const SiteTable& table = state_.siteTable;
    const int count = table.siteCount();
    for (int i = 0; i < count; ++i) {
        if (i >= 1 && i >= menuItemCount_)
            menus_.createSiteItem(i);
        menus_.setSiteCaption(i, table.at(i).title);
    }
    if (count == 0)
        menus_.setSiteCaption(0, QStringLiteral("-"));
    for (int i = count; i < menuItemCount_; ++i) {
        if (i == 0)
            menus_.setSiteCaption(0, QStringLiteral("-"));
        else
            menus_.destroySiteItem(i);
    }
    menuItemCount_ = count;
}

void MainWindow::login() {
    sirano::login(state_, *this, clock_);
}

void MainWindow::logout() {
    sirano::logout(state_, *this);
}

void MainWindow::setLogInOutCaption(const QString& caption) {
    menus_.setCaption(CommandItem::LogInOut, caption);
}

void MainWindow::setTrayLook(TrayLook look) {
    tray_.modifyIcon(look);
}

void MainWindow::setProtectedItemEnabled(ProtectedItem item, bool enabled) {
    switch (item) {
        case ProtectedItem::Open:
            menus_.setEnabled(CommandItem::Open, enabled);
            break;
        case ProtectedItem::Memory:
            menus_.setEnabled(CommandItem::Memory, enabled);
            break;
        case ProtectedItem::Password:
            menus_.setEnabled(CommandItem::Password, enabled);
            break;
    }
}

}  // namespace sirano
