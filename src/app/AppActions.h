// The actions of the tray controller that the dialogs and the browser work call back.
#pragma once

namespace sirano {

class AppActions {
public:
    virtual ~AppActions() = default;
    // Writes the data file from the state. Throws SiranoError naming the file and the reason.
    virtual void saveDataFile() = 0;
    // Rebuilds the site menu from the table.
    virtual void rebuildSiteMenu() = 0;
    virtual void login() = 0;
    virtual void logout() = 0;
    // The automatic log-out counts its minutes from now, as after a log-in: new minutes apply
    // from the moment they are set, not from a log-in long past.
    virtual void restartLogoutCount() = 0;
};

}  // namespace sirano
