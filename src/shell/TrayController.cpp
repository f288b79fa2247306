#include "TrayController.h"

#include "login/EncryptedStore.h"
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

TrayController::TrayController(AppState& state, TrayIcon& tray, Menus& menus, ShellUi& ui,
                               MessageBox& messages, const Clock& clock)
    : state_(state), tray_(tray), menus_(menus), ui_(ui), messages_(messages), clock_(clock) {}

std::optional<int> TrayController::start(const QString& executableFolder) {
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

    // Anything at the path is loaded, and the load refuses what is not a regular file: a folder
    // or a named pipe there taken for "no data" would log in with nothing, and the first save
    // would replace it.
    const QFileInfo dataFile(state_.dataFilePath);
    if (dataFile.exists() || dataFile.isSymLink()) {
        try {
            StoreContents loaded = loadDataFile(state_.dataFilePath, state_.generator);
            state_.siteTable = std::move(loaded.siteTable);
            state_.settings = loaded.settings;
        } catch (const LoadError& e) {
            // Read with the password at the log-in; its settings are inside, so the prompt
            // comes first.
            if (e.reason().kind == Reason::Kind::NeedsMasterPassword) {
                state_.dataFileEncrypted = true;
                logout();
                showPasswordPrompt();
                rebuildSiteMenu();
                return std::nullopt;
            }
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
    rebuildSiteMenu();
    return std::nullopt;
}

int TrayController::refuse(int status, const QString& text) {
    messages_.show(nullptr, QMessageBox::Critical, QStringLiteral("SIRANO"), text, QMessageBox::Ok);
    return status;
}

void TrayController::onTrayClick(TrayClick click) {
    switch (click) {
        case TrayClick::Left:
            if (!state_.loggedIn)
                return;
            menus_.popupSiteMenu();
            break;
        case TrayClick::Right:
            menus_.popupCommandMenu();
            break;
    }
}

void TrayController::toggleLogin() {
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

void TrayController::openSiteSettings() {
    if (state_.loggedIn)
        ui_.showSiteSettings();
}

void TrayController::openPasswordSettings() {
    ui_.showPasswordSettings();
}

void TrayController::showVersion() {
    messages_.show(nullptr, QMessageBox::Information, QStringLiteral("Information"), aboutText(),
                   QMessageBox::Ok);
}

void TrayController::quitProgram() {
    removeIcon();
    ui_.quit(0);
}

void TrayController::removeIcon() {
    if (!iconShown_)
        return;
    tray_.remove();
    iconShown_ = false;
}

void TrayController::showPasswordPrompt() {
    ui_.showPasswordPrompt();
}

void TrayController::saveDataFile() {
    // Logged out, an encrypted file's table is not here: a save would replace it with nothing.
    if (state_.dataFileEncrypted && !state_.dataFileKey)
        throw SaveError(err::kPathFileAccess, state_.dataFilePath,
                        Reason{Reason::Kind::NeedsMasterPassword}, true);
    sirano::saveDataFile(state_.dataFilePath, state_.generator, state_.siteTable, state_.settings,
                         state_.dataFileKey ? &*state_.dataFileKey : nullptr);
}

void TrayController::rebuildSiteMenu() {
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

void TrayController::login() {
    sirano::login(state_, *this, clock_);
}

void TrayController::restartLogoutCount() {
    state_.loginTime = clock_.now().toUTC();
}

void TrayController::logout() {
    sirano::logout(state_, *this);
    if (onLogout_)
        onLogout_();
    if (state_.dataFileEncrypted) {
        forgetStoredData(state_);
        editor_.selectedSite = 0;
        rebuildSiteMenu();
    }
}

void TrayController::setLogInOutCaption(const QString& caption) {
    menus_.setCaption(CommandItem::LogInOut, caption);
}

void TrayController::setTrayLook(TrayLook look) {
    tray_.modifyIcon(look);
}

void TrayController::setProtectedItemEnabled(ProtectedItem item, bool enabled) {
    switch (item) {
        case ProtectedItem::SiteSettings:
            menus_.setEnabled(CommandItem::SiteSettings, enabled);
            break;
        case ProtectedItem::Capture:
            menus_.setEnabled(CommandItem::Capture, enabled);
            break;
        case ProtectedItem::PasswordSettings:
            menus_.setEnabled(CommandItem::PasswordSettings, enabled);
            break;
    }
}

}  // namespace sirano
