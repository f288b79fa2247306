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
};

}  // namespace sirano
