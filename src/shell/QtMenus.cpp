#include "QtMenus.h"

#include <QCursor>
#include <algorithm>

namespace sirano {
namespace {

std::size_t slot(CommandItem item) {
    return static_cast<std::size_t>(item);
}

}  // namespace

QtMenus::QtMenus()
    : mnuMain_(std::make_unique<QMenu>(QStringLiteral("メニュー"))),
      mnuSub_(std::make_unique<QMenu>(QStringLiteral("メニュー"))) {
    mnuMain_->setObjectName(QStringLiteral("mnuMain"));
    mnuSub_->setObjectName(QStringLiteral("mnuSub"));
    // A lone "-" must show; a collapsed one leaves an invisible menu that swallows the next click.
    mnuSub_->setSeparatorsCollapsible(false);

    addCommand(CommandItem::Memory, "mnuMemory", QStringLiteral("記憶"));
    addCommand(CommandItem::Open, "mnuOpen", QStringLiteral("設定"));
    mnuMain_->addSeparator()->setObjectName(QStringLiteral("MnuBlank1"));
    addCommand(CommandItem::LogInOut, "mnuLogInOut", QStringLiteral("ﾛｸﾞｲﾝ"));
    addCommand(CommandItem::Password, "mnuPassword", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ"));
    mnuMain_->addSeparator()->setObjectName(QStringLiteral("MnuBlank"));
    addCommand(CommandItem::Version, "mnuVersion", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));
    addCommand(CommandItem::End, "mnuEnd", QStringLiteral("終了"));

    addSiteItem(0)->setText(QStringLiteral("SIRANO"));
}

QtMenus::~QtMenus() = default;

QAction* QtMenus::addCommand(CommandItem item, const char* name, const QString& caption) {
    QAction* action = mnuMain_->addAction(caption);
    action->setObjectName(QLatin1String(name));
    connect(action, &QAction::triggered, this, [this, item] { Q_EMIT commandChosen(item); });
    commands_[slot(item)] = action;
    return action;
}

QAction* QtMenus::addSiteItem(int index) {
    QAction* action = mnuSub_->addAction(QString());
    action->setObjectName(QStringLiteral("mnuIP"));
    connect(action, &QAction::triggered, this, [this, index] { Q_EMIT siteChosen(index); });
    mnuIp_.resize(std::max(mnuIp_.size(), static_cast<std::size_t>(index) + 1), nullptr);
    mnuIp_[static_cast<std::size_t>(index)] = action;
    return action;
}

void QtMenus::setCaption(CommandItem item, const QString& caption) {
    commands_[slot(item)]->setText(caption);
}

void QtMenus::setEnabled(CommandItem item, bool enabled) {
    commands_[slot(item)]->setEnabled(enabled);
}

void QtMenus::setSiteCaption(int index, const QString& caption) {
    QAction* action = mnuIp_.at(static_cast<std::size_t>(index));
    const bool separator = caption == QLatin1String("-");
    action->setSeparator(separator);
    // A page title shows as it is: "&" would otherwise mark a mnemonic.
    QString text = caption;
    action->setText(separator ? QString() : text.replace(QLatin1Char('&'), QLatin1String("&&")));
}

void QtMenus::createSiteItem(int index) {
    Q_ASSERT(static_cast<std::size_t>(index) >= mnuIp_.size());
    addSiteItem(index);
}

void QtMenus::destroySiteItem(int index) {
    Q_ASSERT(index >= 1);
    QAction*& slot = mnuIp_.at(static_cast<std::size_t>(index));
    mnuSub_->removeAction(slot);
    slot->deleteLater();
    slot = nullptr;
    while (mnuIp_.back() == nullptr)
        mnuIp_.pop_back();
}

void QtMenus::popupSiteMenu() {
    mnuSub_->popup(QCursor::pos());
}

void QtMenus::popupCommandMenu() {
    // An XEmbed tray has already opened it as the icon's context menu.
    if (!mnuMain_->isVisible())
        mnuMain_->popup(QCursor::pos());
}

}  // namespace sirano
