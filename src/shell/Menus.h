// The two popup menus of the tray icon: the command menu (right button) and the site menu, one
// item per stored site (left button).
#pragma once

#include <QString>

namespace sirano {

enum class CommandItem { Capture, SiteSettings, LogInOut, PasswordSettings, Version, Quit };

// The clicks on the tray icon that open a menu; double clicks and every other activation are
// never reported.
enum class TrayClick { Left, Right };

class Menus {
public:
    virtual ~Menus() = default;

    virtual void setCaption(CommandItem item, const QString& caption) = 0;
    virtual void setEnabled(CommandItem item, bool enabled) = 0;

    // Site item 0 always exists. A caption of exactly "-" makes the item a separator that
    // cannot be chosen; any other caption is shown as it is ("&" included).
    virtual void setSiteCaption(int index, const QString& caption) = 0;
    // Items keep their index for life, like the members of a control array.
    // Creates item index (above every existing one), appended at the end of the site menu.
    virtual void createSiteItem(int index) = 0;
    // Destroys item index (>= 1); the others keep their indices.
    virtual void destroySiteItem(int index) = 0;
    // Whether a site item can be chosen (only while logged in); disabling closes a site menu
    // that is open.
    virtual void setSitesEnabled(bool enabled) = 0;

    // At the mouse pointer; a chosen item's command runs on this thread.
    virtual void popupSiteMenu() = 0;
    virtual void popupCommandMenu() = 0;
};

}  // namespace sirano
