// The tray controller's actions as every test sees them: each call recorded in order ("save",
// "menu", "login", "logout"). Log-in and log-out switch the state when there is one; a save can
// fail, run a look at what it would write first, or write the state's real data file.
#pragma once

#include "StoreFiles.h"
#include "app/AppActions.h"
#include "app/AppState.h"
#include "store/Error.h"

#include <QStringList>
#include <functional>

namespace sirano::test {

class RecordingActions final : public AppActions {
public:
    explicit RecordingActions(AppState* state = nullptr) : state_(state) {}
    explicit RecordingActions(AppState& state) : state_(&state) {}

    QStringList calls;
    int saveFailure = 0;     // non-zero: the save fails with this number and a permission error
    bool writeFile = false;  // the save writes the state to its data file, as the program does
    std::function<void()> onSave;

    void saveDataFile() override {
        calls << QStringLiteral("save");
        if (onSave)
            onSave();
        if (saveFailure)
            throw SiranoError(
                saveFailure,
                QStringLiteral("Cannot write %1: Permission denied")
                    .arg(state_ ? state_->dataFilePath : QStringLiteral("/readonly/SIRANO.DAT")));
        if (writeFile && state_)
            saveStore(*state_, state_->dataFilePath);
    }
    void rebuildSiteMenu() override { calls << QStringLiteral("menu"); }
    void login() override {
        calls << QStringLiteral("login");
        if (state_)
            state_->loggedIn = true;
    }
    void logout() override {
        calls << QStringLiteral("logout");
        if (state_)
            state_->loggedIn = false;
    }
    // Not recorded in calls (every settings change would show in every list); counted instead.
    void restartLogoutCount() override { ++logoutCountRestarts; }
    int logoutCountRestarts = 0;

private:
    AppState* state_;
};

}  // namespace sirano::test
