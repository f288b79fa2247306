#include "QtMenus.h"

#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
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

struct FittedCaption {
    QString text;
    QString toolTip;  // the whole title, when the text is shortened
};

FittedCaption fitted(const QString& caption, const QFontMetrics& metrics, int width) {
    const QString title = controlsAsSpaces(caption);
    const QString text = metrics.elidedText(title, Qt::ElideMiddle, width);
    if (text == title)
        return {title, {}};
    // Escaped: a page title is no markup.
    return {text, Qt::convertFromPlainText(title, Qt::WhiteSpaceNormal)};
}

// The host lays out the exported menu with its own font: shortened by characters, in the middle,
// never inside a surrogate pair.
QString shortenedForHost(const QString& title) {
    constexpr qsizetype kHead = 29;
    constexpr qsizetype kTail = 30;
    if (title.size() <= kHead + kTail + 1)
        return title;
    qsizetype head = kHead;
    if (title.at(head - 1).isHighSurrogate())
        --head;
    qsizetype tail = kTail;
    if (title.at(title.size() - tail).isLowSurrogate())
        --tail;
    return title.left(head) + QChar(0x2026) + title.right(tail);
}

const QString kSeparatorCaption = QStringLiteral("-");

}  // namespace

SiteMenuKind siteMenuKindForPlatform() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"))
               ? SiteMenuKind::Window
               : SiteMenuKind::Popup;
}

QString exportedLabel(const QString& caption) {
    QString label = shortenedForHost(controlsAsSpaces(caption));
    label.replace(QLatin1Char('_'), QLatin1String("__"));
    const qsizetype ampersand = label.indexOf(QLatin1Char('&'));
    if (ampersand >= 0 && ampersand != label.size() - 1)
        label.insert(ampersand, QLatin1Char('&'));
    return label;
}

QtMenus::QtMenus(SiteMenuKind kind)
    : commandMenu_(std::make_unique<QMenu>(QStringLiteral("メニュー"))),
      siteMenu_(std::make_unique<SitePopupMenu>(QStringLiteral("メニュー"))) {
    if (kind == SiteMenuKind::Window) {
        siteWindow_ = std::make_unique<SiteWindow>();
        connect(siteWindow_.get(), &SiteWindow::chosen, this, &QtMenus::siteChosen);
    }
    commandMenu_->setObjectName(QStringLiteral("commandMenu"));
    siteMenu_->setObjectName(QStringLiteral("siteMenu"));
    // A lone "-" must show; a collapsed one leaves an invisible menu that swallows the next click.
    siteMenu_->setSeparatorsCollapsible(false);
    // A shortened caption has its whole title as the item's tooltip.
    siteMenu_->setToolTipsVisible(true);
    // Before the menu lays out its items.
    connect(siteMenu_.get(), &QMenu::aboutToShow, this, [this] {
        makeSiteActions();
        fitSiteCaptions();
    });
    // After the choice it closed for has run.
    connect(siteMenu_.get(), &QMenu::aboutToHide, this,
            [this] { QTimer::singleShot(0, this, &QtMenus::releaseSiteMenu); });
    // One connection for every site item: the item carries its index.
    connect(siteMenu_.get(), &QMenu::triggered, this, [this](QAction* action) {
        bool isSite = false;
        const int index = action->data().toInt(&isSite);
        if (isSite)
            Q_EMIT siteChosen(index);
    });

    addCommand(CommandItem::Capture, "captureAction", QStringLiteral("記憶"));
    addCommand(CommandItem::SiteSettings, "siteSettingsAction", QStringLiteral("設定"));
    commandMenu_->addSeparator()->setObjectName(QStringLiteral("MnuBlank1"));
    addCommand(CommandItem::LogInOut, "logInOutAction", QStringLiteral("ﾛｸﾞｲﾝ"));
    addCommand(CommandItem::PasswordSettings, "passwordSettingsAction", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ"));
    commandMenu_->addSeparator()->setObjectName(QStringLiteral("MnuBlank"));
    addCommand(CommandItem::Version, "versionAction", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));
    addCommand(CommandItem::Quit, "quitAction", QStringLiteral("終了"));

    siteItems_.push_back(SiteItem{true, QStringLiteral("SIRANO"), nullptr, false});
}

QtMenus::~QtMenus() = default;

void QtMenus::addSitesToCommandMenu() {
    if (sitesSubmenu_)
        return;
    sitesSubmenu_ = std::make_unique<QMenu>(QStringLiteral("ｻｲﾄ"));
    sitesSubmenu_->setObjectName(QStringLiteral("sitesSubmenu"));
    sitesSubmenu_->setSeparatorsCollapsible(false);
    connect(sitesSubmenu_.get(), &QMenu::triggered, this, [this](QAction* action) {
        bool isSite = false;
        const int index = action->data().toInt(&isSite);
        if (isSite && sitesEnabled_)
            Q_EMIT siteChosen(index);
    });
    sitesAction_ = sitesSubmenu_->menuAction();
    sitesAction_->setObjectName(QStringLiteral("sitesAction"));
    sitesAction_->setEnabled(sitesEnabled_);
    QAction* first = commandMenu_->actions().value(0);
    commandMenu_->insertAction(first, sitesAction_);
    commandMenu_->insertSeparator(first)->setObjectName(QStringLiteral("sitesSeparator"));
    for (std::size_t i = 0; i < siteItems_.size(); ++i)
        exportItem(static_cast<int>(i));
}

// Made at once, not as the menu opens: not every host asks before it shows a submenu.
void QtMenus::exportItem(int index) {
    SiteItem& item = siteItems_.at(static_cast<std::size_t>(index));
    if (!sitesSubmenu_ || !item.exists)
        return;
    if (!item.exported) {
        QAction* next = nullptr;
        for (std::size_t i = static_cast<std::size_t>(index) + 1; i < siteItems_.size(); ++i) {
            if ((next = siteItems_[i].exported))
                break;
        }
        item.exported = new QAction(sitesSubmenu_.get());
        item.exported->setObjectName(QStringLiteral("exportedSiteAction"));
        item.exported->setData(index);
        sitesSubmenu_->insertAction(next, item.exported);
    }
    const bool separator = item.caption == kSeparatorCaption;
    item.exported->setSeparator(separator);
    item.exported->setText(separator ? QString() : exportedLabel(item.caption));
}

void QtMenus::fillSiteWindow() {
    const QFontMetrics metrics(siteWindow_->list().font());
    const int width = captionWidth(metrics);
    std::vector<SiteWindow::Item> items;
    for (std::size_t i = 0; i < siteItems_.size(); ++i) {
        const SiteItem& item = siteItems_[i];
        if (!item.exists)
            continue;
        if (item.caption == kSeparatorCaption) {
            items.push_back({static_cast<int>(i), {}, {}, true});
            continue;
        }
        FittedCaption shown = fitted(item.caption, metrics, width);
        items.push_back({static_cast<int>(i), std::move(shown.text), std::move(shown.toolTip)});
    }
    siteWindow_->setItems(items);
}

void QtMenus::setSitesEnabled(bool enabled) {
    sitesEnabled_ = enabled;
    if (sitesAction_)
        sitesAction_->setEnabled(enabled);
    if (!enabled) {
        siteMenu_->hide();
        if (siteWindow_)
            siteWindow_->hide();
    }
}

QAction* QtMenus::addCommand(CommandItem item, const char* name, const QString& caption) {
    QAction* action = commandMenu_->addAction(caption);
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
    SiteItem& item = siteItems_.at(static_cast<std::size_t>(index));
    item.caption = caption;
    if (item.action)
        showCaption(item);
    exportItem(index);
    if (siteWindow_ && siteWindow_->isVisible())
        fillSiteWindow();
}

void QtMenus::createSiteItem(int index) {
    Q_ASSERT(static_cast<std::size_t>(index) >= siteItems_.size());
    siteItems_.resize(static_cast<std::size_t>(index) + 1);
    siteItems_.back().exists = true;
    if (siteMenu_->isVisible())
        makeSiteActions();
    exportItem(index);
    if (siteWindow_ && siteWindow_->isVisible())
        fillSiteWindow();
}

void QtMenus::destroySiteItem(int index) {
    Q_ASSERT(index >= 1);
    SiteItem& slot = siteItems_.at(static_cast<std::size_t>(index));
    if (slot.action) {
        siteMenu_->removeAction(slot.action);
        slot.action->deleteLater();
    }
    if (slot.exported) {
        sitesSubmenu_->removeAction(slot.exported);
        slot.exported->deleteLater();
    }
    slot = SiteItem{};
    while (!siteItems_.back().exists)
        siteItems_.pop_back();
    if (siteWindow_ && siteWindow_->isVisible())
        fillSiteWindow();
}

// Items are created above every existing one, but the menu may have opened in between: each new
// action goes before the action of the next item up.
void QtMenus::makeSiteActions() {
    QAction* next = nullptr;
    for (auto item = siteItems_.rbegin(); item != siteItems_.rend(); ++item) {
        if (!item->exists)
            continue;
        if (!item->action) {
            item->action = new QAction(siteMenu_.get());
            item->action->setObjectName(QStringLiteral("siteAction"));
            item->action->setData(static_cast<int>(siteItems_.rend() - item) - 1);
            siteMenu_->insertAction(next, item->action);
            showCaption(*item);
        }
        next = item->action;
    }
}

void QtMenus::releaseSiteMenu() {
    if (siteMenu_->isVisible())
        return;
    for (SiteItem& item : siteItems_) {
        delete item.action;
        item.action = nullptr;
        item.unfitted = false;
    }
    unfitted_ = false;
    siteMenu_->releaseWindow();
#ifdef __GLIBC__
    // The freed actions are small blocks all over the heap: without this the memory stays the
    // process's.
    ::malloc_trim(0);
#endif
}

void QtMenus::showCaption(SiteItem& item) {
    const bool separator = item.caption == kSeparatorCaption;
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
    if (siteMenu_->isVisible()) {
        const QFontMetrics metrics(siteMenu_->font());
        fitSiteCaption(item, metrics, captionWidth(metrics));
    }
}

void QtMenus::fitSiteCaptions() {
    if (!unfitted_)
        return;
    const QFontMetrics metrics(siteMenu_->font());
    const int width = captionWidth(metrics);
    for (SiteItem& item : siteItems_)
        fitSiteCaption(item, metrics, width);
    unfitted_ = false;
}

void QtMenus::fitSiteCaption(SiteItem& item, const QFontMetrics& metrics, int width) {
    if (!item.unfitted)
        return;
    item.unfitted = false;
    const FittedCaption shown = fitted(item.caption, metrics, width);
    if (shown.toolTip.isEmpty())
        return;
    item.action->setToolTip(shown.toolTip);
    item.action->setText(withoutMnemonics(shown.text));
}

void QtMenus::popupSiteMenu() {
    if (siteWindow_) {
        fillSiteWindow();
        siteWindow_->open();
        return;
    }
    siteMenu_->popup(QCursor::pos());
}

void QtMenus::popupCommandMenu() {
    // An XEmbed tray has already opened it as the icon's context menu.
    if (!commandMenu_->isVisible())
        commandMenu_->popup(QCursor::pos());
}

}  // namespace sirano
