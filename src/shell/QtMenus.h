// The two menus on QMenu: mnuMain (commands) and mnuSub (the site items mnuIP). They hold no
// logic: a chosen item is reported by a signal. A site caption shows its page title as it is,
// except that control characters show as spaces and a long title is shortened in the middle
// ("…"), whole in the item's tooltip.
#pragma once

#include "Menus.h"

#include <QMenu>
#include <QObject>
#include <array>
#include <memory>
#include <vector>

namespace sirano {

class QtMenus final : public QObject, public Menus {
    Q_OBJECT
public:
    // Both menus as the hidden window is created: every command enabled, "ﾛｸﾞｲﾝ", and the site
    // menu holding item 0 "SIRANO".
    QtMenus();
    ~QtMenus() override;

    QMenu* commandMenu() const { return mnuMain_.get(); }
    QMenu* siteMenu() const { return mnuSub_.get(); }

    void setCaption(CommandItem item, const QString& caption) override;
    void setEnabled(CommandItem item, bool enabled) override;
    void setSiteCaption(int index, const QString& caption) override;
    void createSiteItem(int index) override;
    void destroySiteItem(int index) override;
    void popupSiteMenu() override;
    void popupCommandMenu() override;

Q_SIGNALS:
    void commandChosen(sirano::CommandItem item);
    void siteChosen(int index);

private:
    QAction* addCommand(CommandItem item, const char* name, const QString& caption);
    QAction* addSiteItem(int index);

    std::unique_ptr<QMenu> mnuMain_;
    std::unique_ptr<QMenu> mnuSub_;
    std::array<QAction*, 6> commands_{};
    std::vector<QAction*> mnuIp_;  // item i at position i; a destroyed item leaves nullptr
};

}  // namespace sirano
