// The two popup menus of the hidden main window: the command menu mnuMain (right button) and the
// site menu mnuSub with its item array mnuIP (left button).
#pragma once

#include <QString>

namespace sirano {

enum class CommandItem { Memory, Open, LogInOut, Password, Version, End };

// The mouse messages of the tray icon's callback that open a menu; every other one is ignored.
inline constexpr int kLeftButtonDown = 0x201;
inline constexpr int kRightButtonDown = 0x204;

class Menus {
public:
    virtual ~Menus() = default;

    virtual void setCaption(CommandItem item, const QString& caption) = 0;
    virtual void setEnabled(CommandItem item, bool enabled) = 0;

    // Item 0 of mnuIP always exists. A caption of exactly "-" makes the item a separator that
    // cannot be chosen; any other caption is shown as it is ("&" included).
    virtual void setSiteCaption(int index, const QString& caption) = 0;
    // Items keep their index for life, like the members of a control array.
    // Creates item index (above every existing one), appended at the end of the site menu.
    virtual void createSiteItem(int index) = 0;
    // Destroys item index (>= 1); the others keep their indices.
    virtual void destroySiteItem(int index) = 0;

    // At the mouse pointer; a chosen item's command runs on this thread.
    virtual void popupSiteMenu() = 0;
    virtual void popupCommandMenu() = 0;
};

}  // namespace sirano
