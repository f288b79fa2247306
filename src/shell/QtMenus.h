// The two menus on QMenu: the command menu and the site menu (one item per site). They hold no
// logic: a chosen item is reported by a signal. On Wayland the site menu is a SiteWindow; where
// a status notifier host draws the command menu itself, a submenu "ｻｲﾄ" at its top holds the
// site items too (hosts such as GNOME's open that menu on a left click). A site caption shows its
// page title as it is, except that control characters show as spaces and a long title is shortened
// in the middle
// ("…"), whole in the item's tooltip.
//
// The site menu's QActions are made, and their captions shortened, as the menu opens (at once
// while it is open): a full table is a thousand items, over a megabyte of QActions and the
// menu font loaded and shaped, all for a menu that may not be opened for hours. Until then
// siteMenu() holds no items. Once it has closed (and the chosen item has run), the items and the
// window's image (megabytes for a menu as tall as the screen) are let go again.
#pragma once

#include "Menus.h"
#include "SiteWindow.h"

#include <QMenu>
#include <QObject>
#include <array>
#include <memory>
#include <vector>

class QFontMetrics;

namespace sirano {

// How the site menu shows: a popup menu at the pointer (X11), or a window of its own (Wayland).
enum class SiteMenuKind { Popup, Window };

// The site menu's kind for the platform the application runs on.
SiteMenuKind siteMenuKindForPlatform();

// A site caption as a status notifier host shows it: hosts read "_" as the mark of an access
// key ("__" is one "_"), and Qt turns the first "&" that does not end the text into that mark,
// so that "&&" arrives as an access key on "&". Every other "&" passes as it is.
QString exportedLabel(const QString& caption);

// The site menu's popup, whose window and its image can be let go while it is closed.
class SitePopupMenu final : public QMenu {
public:
    using QMenu::QMenu;
    // Made again when it next shows.
    void releaseWindow() { destroy(); }
};

class QtMenus final : public QObject, public Menus {
    Q_OBJECT
public:
    // Both menus as the program starts: every command enabled, "ﾛｸﾞｲﾝ", and the site
    // menu holding item 0 "SIRANO" (made as it opens).
    explicit QtMenus(SiteMenuKind kind = SiteMenuKind::Popup);
    ~QtMenus() override;

    QMenu* commandMenu() const { return commandMenu_.get(); }
    QMenu* siteMenu() const { return siteMenu_.get(); }
    // Null unless the site menu is a window.
    SiteWindow* siteWindow() const { return siteWindow_.get(); }
    // Null until addSitesToCommandMenu().
    QMenu* sitesSubmenu() const { return sitesSubmenu_.get(); }

    // For a host that draws the command menu: the submenu "ｻｲﾄ" at its top, kept with the site
    // items from now on, enabled as the site menu may open.
    void addSitesToCommandMenu();

    void setCaption(CommandItem item, const QString& caption) override;
    void setEnabled(CommandItem item, bool enabled) override;
    void setSiteCaption(int index, const QString& caption) override;
    void createSiteItem(int index) override;
    void destroySiteItem(int index) override;
    void setSitesEnabled(bool enabled) override;
    void popupSiteMenu() override;
    void popupCommandMenu() override;

Q_SIGNALS:
    void commandChosen(sirano::CommandItem item);
    void siteChosen(int index);

private:
    struct SiteItem {
        bool exists = false;
        QString caption;
        QAction* action = nullptr;    // once the menu has opened with the item
        bool unfitted = false;        // its caption is not yet shortened to the menu's width
        QAction* exported = nullptr;  // in the submenu "ｻｲﾄ", once there is one
    };

    QAction* addCommand(CommandItem item, const char* name, const QString& caption);
    void makeSiteActions();
    void releaseSiteMenu();
    void showCaption(SiteItem& item);
    void fitSiteCaptions();
    static void fitSiteCaption(SiteItem& item, const QFontMetrics& metrics, int width);
    void exportItem(int index);
    void fillSiteWindow();

    std::unique_ptr<QMenu> commandMenu_;
    std::unique_ptr<SitePopupMenu> siteMenu_;
    std::unique_ptr<SiteWindow> siteWindow_;
    std::unique_ptr<QMenu> sitesSubmenu_;
    QAction* sitesAction_ = nullptr;
    bool sitesEnabled_ = true;
    std::array<QAction*, 6> commands_{};
    std::vector<SiteItem> siteItems_;  // item i at position i
    bool unfitted_ = false;            // some item waits for fitSiteCaptions()
};

}  // namespace sirano
