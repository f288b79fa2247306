#include "QtMenus.h"

#include <QCursor>
#include <QFontMetrics>
#include <QTextDocument>
#include <algorithm>

namespace sirano {
namespace {

std::size_t slot(CommandItem item) {
    return static_cast<std::size_t>(item);
}

// About thirty Japanese characters: one long page title must not widen the menu past the screen,
// where Qt would move the later sites into a column nobody can reach.
constexpr int kCaptionChars = 30;

// A tab would start the shortcut column and a line end a second line of the caption.
QString controlsAsSpaces(QString title) {
    for (QChar& c : title)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    return title;
}

}  // namespace

QtMenus::QtMenus()
    : mnuMain_(std::make_unique<QMenu>(QStringLiteral("メニュー"))),
      mnuSub_(std::make_unique<QMenu>(QStringLiteral("メニュー"))) {
    mnuMain_->setObjectName(QStringLiteral("mnuMain"));
    mnuSub_->setObjectName(QStringLiteral("mnuSub"));
    // A lone "-" must show; a collapsed one leaves an invisible menu that swallows the next click.
    mnuSub_->setSeparatorsCollapsible(false);
    // A shortened caption has its whole title as the item's tooltip.
    mnuSub_->setToolTipsVisible(true);

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
    QString text;
    QString tip;
    if (!separator) {
        const QString title = controlsAsSpaces(caption);
        const QFontMetrics metrics(mnuSub_->font());
        text = metrics.elidedText(title, Qt::ElideMiddle,
                                  kCaptionChars * metrics.horizontalAdvance(u'\u3042'));
        if (text != title)  // escaped: a page title is no markup
            tip = Qt::convertFromPlainText(title, Qt::WhiteSpaceNormal);
        // A page title shows as it is: "&" would otherwise mark a mnemonic.
        text.replace(QLatin1Char('&'), QLatin1String("&&"));
    }
    action->setToolTip(tip);
    action->setText(text);
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
