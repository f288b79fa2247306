#include "TrayController.h"

#include "login/EncryptedStore.h"
#include "store/DataFile.h"
#include "store/Error.h"
#include "store/SyncConflicts.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

namespace sirano {

QString aboutText() {
    return QStringLiteral("SIRANO Ver." SIRANO_VERSION
                          "\r"
                          "Copyright (C) 2026 The SIRANO developers");
}

namespace {

// "12 行目 3 番目の値": where in the file a load failed; empty when not tied to a line.
QString loadErrorPlace(const LoadError& e) {
    QString where = e.line() > 0 ? QStringLiteral("%1 行目").arg(e.line()) : QString();
    if (e.position() > 0)
        where += QStringLiteral(" %1 番目の値").arg(e.position());
    return where;
}

}  // namespace

TrayController::TrayController(AppState& state, TrayIcon& tray, Menus& menus, ShellUi& ui,
                               MessageBox& messages, const Clock& clock, KeyRing& keyRing)
    : state_(state),
      tray_(tray),
      menus_(menus),
      ui_(ui),
      messages_(messages),
      clock_(clock),
      keyRing_(keyRing) {}

std::optional<int> TrayController::start(const QString& executableFolder, const QString& dataFile) {
    state_.generator.reseedFromClock();
    editor_.asterisk = true;
    tray_.add(TrayLook::LoggedIn);
    iconShown_ = true;
    state_.siteTable.setSiteCount(0);

    QString folder;
    try {
        if (dataFile.isEmpty()) {
            folder = locateDataFolder(executableFolder);
        } else {
            folder = makeMachineFolderFor(dataFile, executableFolder);
        }
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
    if (!dataFile.isEmpty() && DataFolderLock::heldBeside(dataFile, folder))
        return refuse(exitstatus::kAlreadyRunning,
                      QStringLiteral("SIRANO は既に起動しています。\nデータファイル: %1")
                          .arg(QDir::toNativeSeparators(dataFile)));
    state_.dataFolder = folder;
    state_.dataFilePath =
        dataFile.isEmpty() ? QDir(folder).filePath(QLatin1String(kDataFileName)) : dataFile;

    // Anything at the path is loaded, and the load refuses what is not a regular file: a folder
    // or a named pipe there taken for "no data" would log in with nothing, and the first save
    // would replace it.
    const QFileInfo file(state_.dataFilePath);
    if (file.exists() || file.isSymLink()) {
        try {
            // Taken before reading: a change during the read then shows as a later one.
            const std::optional<FileStamp> stamp = fileStampOf(state_.dataFilePath);
            StoreContents loaded = loadDataFile(state_.dataFilePath, state_.generator);
            remember(loaded, stamp);
            state_.siteTable = std::move(loaded.siteTable);
            state_.settings = loaded.settings;
        } catch (const LoadError& e) {
            // Read with the password at the log-in; its settings are inside, so the prompt
            // comes first.
            if (e.reason().kind == Reason::Kind::NeedsMasterPassword) {
                state_.dataFileEncrypted = true;
                if (openWithKeptKey(state_, keyRing_)) {
                    login();
                } else {
                    logout();
                    showPasswordPrompt();
                }
                rebuildSiteMenu();
                return std::nullopt;
            }
            const QString where = loadErrorPlace(e);
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

namespace {

QString loadFailureText(const LoadError& e) {
    const QString where = loadErrorPlace(e);
    const QString reason = e.reasonText(Language::Japanese);
    return where.isEmpty() ? reason : where + QStringLiteral(": ") + reason;
}

}  // namespace

const DataFileKey* TrayController::heldKey() const {
    return state_.dataFileKey ? &*state_.dataFileKey : nullptr;
}

StoreContents TrayController::readChangedDataFile() {
    // The held key opens the file while its salt is unchanged; the password held opens it when
    // another machine sealed it anew, and the key it gives is used from then on.
    DataFileAccess access{state_.settings.masterPassword, std::move(state_.dataFileKey)};
    const auto keep = qScopeGuard([&] { state_.dataFileKey = std::move(access.key); });
    const bool canOpen = access.key || !access.password.isEmpty();
    StoreContents theirs =
        loadDataFile(state_.dataFilePath, state_.generator, canOpen ? &access : nullptr);
    // The file follows the other program's choice: encrypted, or plain again.
    state_.dataFileEncrypted = access.key.has_value();
    return theirs;
}

void TrayController::remember(const StoreContents& contents, std::optional<FileStamp> stamp) {
    state_.fileContents = contents;
    state_.fileStamp = stamp;
}

void TrayController::take(MergeResult merged) {
    const bool passwordChanged =
        merged.contents.settings.masterPassword != state_.settings.masterPassword;
    state_.siteTable = std::move(merged.contents.siteTable);
    state_.settings = merged.contents.settings;
    rebuildSiteMenu();
    // The password of the other machine's choice guards from now on; a log-in by the old one
    // must not outlast it.
    if (passwordChanged && state_.loggedIn && !state_.settings.masterPassword.isEmpty())
        logout();
    if (!merged.keptBoth.isEmpty()) {
        QStringList titles;
        for (const int i : merged.keptBoth)
            titles << state_.siteTable.at(i).title;
        messages_.show(nullptr, QMessageBox::Warning, QStringLiteral("SIRANO"),
                       QStringLiteral("他のプログラムが同じサイトを変更または削除していました。"
                                      "どちらの内容も失わないよう、この変更は新しいサイトとして"
                                      "残しました:\n\n%1")
                           .arg(titles.join(u'\n')),
                       QMessageBox::Ok);
    }
}

void TrayController::saveDataFile() {
    const QString& path = state_.dataFilePath;
    // Logged out, an encrypted file's table is not here: a save would replace it with nothing.
    if (state_.dataFileEncrypted && !state_.dataFileKey)
        throw SaveError(err::kPathFileAccess, path, Reason{Reason::Kind::NeedsMasterPassword},
                        true);
    const std::optional<FileStamp> now = fileStampOf(path);
    if (!now || now == state_.fileStamp) {
        sirano::saveDataFile(path, state_.generator, state_.siteTable, state_.settings, heldKey());
        remember(StoreContents{state_.siteTable, state_.settings}, fileStampOf(path));
        return;
    }
    // Another program wrote the file since: its contents first, this program's changes on them.
    StoreContents theirs;
    try {
        theirs = readChangedDataFile();
    } catch (const LoadError& e) {
        throw SaveError(75, path, Reason{Reason::Kind::ChangedUnreadable, {}, loadFailureText(e)},
                        true);
    }
    MergeResult merged =
        applyChanges(state_.fileContents, StoreContents{state_.siteTable, state_.settings}, theirs);
    if (merged.tableFull)
        throw SaveError(9, path, Reason{Reason::Kind::MergedTableFull}, true);
    sirano::saveDataFile(path, state_.generator, merged.contents.siteTable,
                         merged.contents.settings, heldKey());
    remember(merged.contents, fileStampOf(path));
    take(std::move(merged));
}

void TrayController::noticeConflictCopies() {
    if (state_.dataFilePath.isEmpty())
        return;
    QStringList fresh;
    const QString folder = QFileInfo(state_.dataFilePath).absolutePath();
    for (const QString& name : conflictCopiesIn(folder)) {
        if (!conflictCopiesSaid_.contains(name))
            fresh << name;
    }
    if (fresh.isEmpty())
        return;
    conflictCopiesSaid_ += fresh;
    const QString first = QDir(folder).filePath(fresh.first());
    messages_.show(nullptr, QMessageBox::Information, QStringLiteral("SIRANO"),
                   QStringLiteral("同期ツールがデータファイルの競合コピーを残しました:\n\n%1\n\n"
                                  "両方のサイトをまとめるには、SIRANO を終了してから\n"
                                  "sirano-cli merge \"%2\"\nを実行してください。")
                       .arg(fresh.join(u'\n'), QDir::toNativeSeparators(first)),
                   QMessageBox::Ok);
}

bool TrayController::reloadDataFile() {
    const QString& path = state_.dataFilePath;
    if (path.isEmpty())
        return false;
    // Logged out of an encrypted file: nothing is held, and the next log-in reads the file.
    if (state_.dataFileEncrypted && !state_.dataFileKey)
        return false;
    const std::optional<FileStamp> now = fileStampOf(path);
    // Gone: what this program holds is written again at the next change.
    if (!now || now == state_.fileStamp)
        return false;
    StoreContents theirs;
    try {
        theirs = readChangedDataFile();
    } catch (const LoadError& e) {
        // Encrypted elsewhere with a password this program does not hold: what it holds is
        // saved already, and the next log-in reads the file with the new password.
        const Reason::Kind why = e.reason().kind;
        if (why == Reason::Kind::NeedsMasterPassword || why == Reason::Kind::WrongMasterPassword) {
            state_.dataFileEncrypted = true;
            logout();  // forgets the key held too
            return true;
        }
        if (unreadableSaid_ == now)
            return false;
        unreadableSaid_ = now;
        messages_.show(nullptr, QMessageBox::Warning, QStringLiteral("SIRANO"),
                       QStringLiteral("他のプログラムがデータファイルを変更しましたが、"
                                      "読み込めません。今の内容のまま続け、ファイルは上書き"
                                      "しません。\n\nファイル: %1\n理由: %2")
                           .arg(QDir::toNativeSeparators(path), loadFailureText(e)),
                       QMessageBox::Ok);
        return false;
    }
    MergeResult merged =
        applyChanges(state_.fileContents, StoreContents{state_.siteTable, state_.settings}, theirs);
    // This program's unsaved entries do not fit beside the other's: all stays as it is, and the
    // next save says why it cannot be made.
    if (merged.tableFull)
        return false;
    remember(theirs, now);
    take(std::move(merged));
    return true;
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
    menus_.setSitesEnabled(true);
}

void TrayController::restartLogoutCount() {
    sirano::restartLogoutCount(state_, clock_);
}

void TrayController::logout() {
    sirano::logout(state_, *this);
    menus_.setSitesEnabled(false);
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
