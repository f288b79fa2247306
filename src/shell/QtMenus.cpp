#include "QtMenus.h"

#include <QCursor>
#include <QFontMetrics>
#include <QTextDocument>
#include <algorithm>
#include <utility>

namespace sirano {
namespace {

std::size_t slot(CommandItem item) {
    return static_cast<std::size_t>(item);
}

// About thirty Japanese characters: one long page title must not widen the menu past the screen,
// where Qt would move the later sites into a column nobody can reach.
int captionWidth(const QFontMetrics& metrics) {
    constexpr int kCaptionChars = 30;
    return kCaptionChars * metrics.horizontalAdvance(u'\u3042');
}

// A tab would start the shortcut column and a line end a second line of the caption.
bool showsAsSpace(QChar c) {
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

// Untouched titles stay shared with the site table: a full menu would otherwise copy them all.
QString controlsAsSpaces(const QString& title) {
    if (std::none_of(title.begin(), title.end(), showsAsSpace))
        return title;
    QString spaced = title;
    for (QChar& c : spaced)
        if (showsAsSpace(c))
            c = u' ';
    return spaced;
}

// A page title shows as it is: "&" would otherwise mark a mnemonic.
QString withoutMnemonics(QString text) {
    if (text.contains(QLatin1Char('&')))
        text.replace(QLatin1Char('&'), QLatin1String("&&"));
    return text;
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
    // Before the menu lays out its items.
    connect(mnuSub_.get(), &QMenu::aboutToShow, this, [this] {
        makeSiteActions();
        fitSiteCaptions();
    });
    // One connection for every site item: the item carries its index.
    connect(mnuSub_.get(), &QMenu::triggered, this, [this](QAction* action) {
        bool isSite = false;
        const int index = action->data().toInt(&isSite);
        if (isSite)
            Q_EMIT siteChosen(index);
    });

    addCommand(CommandItem::Memory, "mnuMemory", QStringLiteral("記憶"));
    addCommand(CommandItem::Open, "mnuOpen", QStringLiteral("設定"));
    mnuMain_->addSeparator()->setObjectName(QStringLiteral("MnuBlank1"));
    addCommand(CommandItem::LogInOut, "mnuLogInOut", QStringLiteral("ﾛｸﾞｲﾝ"));
    addCommand(CommandItem::Password, "mnuPassword", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ"));
    mnuMain_->addSeparator()->setObjectName(QStringLiteral("MnuBlank"));
    addCommand(CommandItem::Version, "mnuVersion", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));
    addCommand(CommandItem::End, "mnuEnd", QStringLiteral("終了"));

    mnuIp_.push_back(SiteItem{true, QStringLiteral("SIRANO"), nullptr, false});
}

QtMenus::~QtMenus() = default;

QAction* QtMenus::addCommand(CommandItem item, const char* name, const QString& caption) {
    QAction* action = mnuMain_->addAction(caption);
    action->setObjectName(QLatin1String(name));
    connect(action, &QAction::triggered, this, [this, item] { Q_EMIT commandChosen(item); });
    commands_[slot(item)] = action;
    return action;
}

void QtMenus::setCaption(CommandItem item, const QString& caption) {
    commands_[slot(item)]->setText(caption);
}

void QtMenus::setEnabled(CommandItem item, bool enabled) {
    commands_[slot(item)]->setEnabled(enabled);
}

void QtMenus::setSiteCaption(int index, const QString& caption) {
    SiteItem& item = mnuIp_.at(static_cast<std::size_t>(index));
    item.caption = caption;
    if (item.action)
        showCaption(item);
}

void QtMenus::createSiteItem(int index) {
    Q_ASSERT(static_cast<std::size_t>(index) >= mnuIp_.size());
    mnuIp_.resize(static_cast<std::size_t>(index) + 1);
    mnuIp_.back().exists = true;
    if (mnuSub_->isVisible())
        makeSiteActions();
}

void QtMenus::destroySiteItem(int index) {
    Q_ASSERT(index >= 1);
    SiteItem& slot = mnuIp_.at(static_cast<std::size_t>(index));
    if (slot.action) {
        mnuSub_->removeAction(slot.action);
        slot.action->deleteLater();
    }
    slot = SiteItem{};
    while (!mnuIp_.back().exists)
        mnuIp_.pop_back();
}

// Items are created above every existing one, but the menu may have opened in between: each new
// action goes before the action of the next item up.
void QtMenus::makeSiteActions() {
    QAction* next = nullptr;
    for (auto item = mnuIp_.rbegin(); item != mnuIp_.rend(); ++item) {
        if (!item->exists)
            continue;
        if (!item->action) {
            item->action = new QAction(mnuSub_.get());
            item->action->setObjectName(QStringLiteral("mnuIP"));
            item->action->setData(static_cast<int>(mnuIp_.rend() - item) - 1);
            mnuSub_->insertAction(next, item->action);
            showCaption(*item);
        }
        next = item->action;
    }
}

void QtMenus::showCaption(SiteItem& item) {
    const bool separator = item.caption == QLatin1String("-");
    item.action->setSeparator(separator);
    item.action->setToolTip(QString());
    if (separator) {
        item.unfitted = false;
        item.action->setText(QString());
        return;
    }
    item.action->setText(withoutMnemonics(controlsAsSpaces(item.caption)));
    item.unfitted = true;
    unfitted_ = true;
    if (mnuSub_->isVisible()) {
        const QFontMetrics metrics(mnuSub_->font());
        fitSiteCaption(item, metrics, captionWidth(metrics));
    }
}

void QtMenus::fitSiteCaptions() {
    if (!unfitted_)
        return;
    const QFontMetrics metrics(mnuSub_->font());
    const int width = captionWidth(metrics);
    for (SiteItem& item : mnuIp_)
        fitSiteCaption(item, metrics, width);
    unfitted_ = false;
}

void QtMenus::fitSiteCaption(SiteItem& item, const QFontMetrics& metrics, int width) {
    if (!item.unfitted)
        return;
    item.unfitted = false;
    const QString title = controlsAsSpaces(item.caption);
    const QString text = metrics.elidedText(title, Qt::ElideMiddle, width);
    if (text == title)
        return;
    // Escaped: a page title is no markup.
    item.action->setToolTip(Qt::convertFromPlainText(title, Qt::WhiteSpaceNormal));
    item.action->setText(withoutMnemonics(text));
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
