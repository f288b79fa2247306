// What the tray program does, without its widgets: start-up, the clicks on the tray icon, the
// commands of the two menus, the site menu rebuild, log-in and log-out, and the end. The tray
// icon, the menus and the modal windows are passed in, so that tests drive it on fakes.
#pragma once

#include "Menus.h"
#include "TrayIcon.h"
#include "app/AppActions.h"
#include "app/AppState.h"
#include "editor/SiteEditorState.h"
#include "keyring/KeyRing.h"
#include "login/Login.h"
#include "store/DataFolder.h"
#include "store/DateTimeText.h"
#include "store/Merge.h"
#include "ui/MessageBox.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace sirano {

// Exit statuses of a start that cannot go on (each after a message box).
namespace exitstatus {
inline constexpr int kDataFileUnreadable = 1;
inline constexpr int kAlreadyRunning = 2;
inline constexpr int kNoTray = 3;
inline constexpr int kNoDataFolder = 4;  // or its lock file cannot be made
}  // namespace exitstatus

// What the controller asks of the widget world.
class ShellUi {
public:
    virtual ~ShellUi() = default;
    // Each modal, created when shown and gone when closed.
    virtual void showPasswordPrompt() = 0;  // to log in, without an owner
    virtual void showSiteSettings() = 0;
    virtual void showPasswordSettings() = 0;
    // Ends the event loop with status.
    virtual void quit(int status) = 0;
};

QString aboutText();

class TrayController final : public AppActions, private LoginView {
public:
    // keyRing: where an encrypted data file's key for the automatic log-in is kept.
    TrayController(AppState& state, TrayIcon& tray, Menus& menus, ShellUi& ui, MessageBox& messages,
                   const Clock& clock, KeyRing& keyRing);

    // Starts the program once the tray can show the icon. The data folder is executableFolder when
    // it holds the data file, else the user's application data folder; it is locked for this
    // process. Returns the exit status when the program cannot go on (the reason already shown); a
    // data file that fails to load is left untouched.
    // dataFile, when not empty, is the data file to use instead (--data): this machine's own
    // files (the lock, the browser profile, error.log) then go to machineFolderFor() it.
    std::optional<int> start(const QString& executableFolder, const QString& dataFile = {});

    // A left click opens the site menu while logged in, a right click the command menu. Both
    // menus open without a nested event loop (QMenu::popup), so events waiting at the click,
    // a due tick among them, run after it as they would anyway; running them before the popup
    // could log out between the check and the site menu.
    void onTrayClick(TrayClick click);

    void toggleLogin();
    void openSiteSettings();
    void openPasswordSettings();
    void showVersion();
    void quitProgram();  // removes the icon and ends with status 0; nothing is saved
    void removeIcon();   // removes the icon; safe to call more than once

    // Run at every log-out, before an encrypted file's table is forgotten: the browser's
    // copies of written values go with it.
    void setOnLogout(std::function<void()> onLogout) { onLogout_ = std::move(onLogout); }

    // The site settings dialog's flags, which live as long as the program.
    SiteEditorState& editorState() { return editor_; }

    // The password prompt to log in, modal; state.loggedIn tells the outcome.
    void showPasswordPrompt();

    // Writes the table and settings. When another program changed the file since this one last
    // read or wrote it, the file is read first and this program's changes are applied to what it
    // holds (entries known by their contents), so that nothing the other wrote is lost; a file
    // changed so that it does not load is not overwritten (SaveError).
    void saveDataFile() override;
    // Takes the data file again when another program changed it and it loads; this program's
    // unsaved changes, if any, stay applied. A file that does not load is left alone, and said
    // once. A master password changed there logs out. True when new contents were taken.
    bool reloadDataFile();
    // Says once for each conflict copy a sync tool left in the data folder that it is there and
    // how to merge it.
    void noticeConflictCopies();
    void rebuildSiteMenu() override;
    void login() override;
    void logout() override;
    void restartLogoutCount() override;

private:
    void setLogInOutCaption(const QString& caption) override;
    void setTrayLook(TrayLook look) override;
    void setProtectedItemEnabled(ProtectedItem item, bool enabled) override;
    int refuse(int status, const QString& text);
    void remember(const StoreContents& contents, std::optional<FileStamp> stamp);
    // The data file as another program left it, opened with the key or password held. Throws
    // LoadError.
    StoreContents readChangedDataFile();
    // The key the saves seal the file with; none for a plain file.
    const DataFileKey* heldKey() const;
    // Replaces the table and settings with merged ones and shows them.
    void take(MergeResult merged);

    AppState& state_;
    TrayIcon& tray_;
    Menus& menus_;
    ShellUi& ui_;
    MessageBox& messages_;
    const Clock& clock_;
    KeyRing& keyRing_;
    SiteEditorState editor_;
    std::unique_ptr<DataFolderLock> lock_;
    int menuItemCount_ = 0;
    bool iconShown_ = false;
    std::optional<FileStamp> unreadableSaid_;  // the version of the file already said unreadable
    QStringList conflictCopiesSaid_;
    std::function<void()> onLogout_;
};

}  // namespace sirano
