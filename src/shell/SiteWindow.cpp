#include "SiteWindow.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

namespace sirano {
namespace {

constexpr int kIndexRole = Qt::UserRole;
constexpr int kSeparatorRole = Qt::UserRole + 1;
constexpr int kSeparatorHeight = 7;

// A separator row is a line across, as in the menu.
class SeparatorDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (!index.data(kSeparatorRole).toBool()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const int y = option.rect.center().y();
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.left() + 2, y, option.rect.right() - 2, y);
        painter->restore();
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (index.data(kSeparatorRole).toBool())
            return {1, kSeparatorHeight};
        return QStyledItemDelegate::sizeHint(option, index);
    }
};

}  // namespace

SiteWindow::SiteWindow() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("siteWindow"));
    setWindowTitle(QStringLiteral("SIRANO"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(&list_);
    list_.setObjectName(QStringLiteral("siteList"));
    list_.setItemDelegate(new SeparatorDelegate(&list_));
    list_.setSelectionMode(QAbstractItemView::SingleSelection);
    list_.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_.setTextElideMode(Qt::ElideMiddle);
    // The item under the pointer is the current one, as in a menu.
    list_.setMouseTracking(true);
    connect(&list_, &QListWidget::itemEntered, this, [this](QListWidgetItem* item) {
        if (item->flags() & Qt::ItemIsEnabled)
            list_.setCurrentItem(item);
    });
    connect(&list_, &QListWidget::itemClicked, this, &SiteWindow::choose);
    connect(&list_, &QListWidget::itemActivated, this, &SiteWindow::choose);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &SiteWindow::focusMoved);
}

void SiteWindow::setItems(const std::vector<Item>& items) {
    const int current = list_.currentItem() ? list_.currentItem()->data(kIndexRole).toInt() : -1;
    list_.clear();
    for (const Item& item : items) {
        auto* row = new QListWidgetItem(item.separator ? QString() : item.text, &list_);
        row->setData(kIndexRole, item.index);
        row->setData(kSeparatorRole, item.separator);
        row->setToolTip(item.toolTip);
        if (item.separator)
            row->setFlags(Qt::NoItemFlags);
        else if (item.index == current)
            list_.setCurrentItem(row);
    }
    if (isVisible())
        fitSize();
}

void SiteWindow::open() {
    if (!list_.currentItem()) {
        for (int row = 0; row < list_.count(); ++row) {
            if (list_.item(row)->flags() & Qt::ItemIsEnabled) {
                list_.setCurrentRow(row);
                break;
            }
        }
    }
    fitSize();
    show();
    raise();
    activateWindow();
    list_.setFocus();
    // Focused already when it was the last window to have the focus.
    wasActive_ = QGuiApplication::focusWindow() == windowHandle();
}

// As wide as the longest caption and as high as every row, within the screen.
void SiteWindow::fitSize() {
    const int frame = 2 * list_.frameWidth();
    // The column's hint is already the widest row's: asked once, not once a row.
    int width = list_.sizeHintForColumn(0);
    int height = 0;
    for (int row = 0; row < list_.count(); ++row)
        height += list_.sizeHintForRow(row);
    width += frame + 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin);
    height += frame;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableSize() * 4 / 5;
        if (height > room.height()) {
            height = room.height();
            width += list_.verticalScrollBar()->sizeHint().width();
        }
        width = std::min(width, room.width());
    }
    setFixedSize(std::max(width, 120), std::max(height, 24));
}

void SiteWindow::choose(const QListWidgetItem* item) {
    if (!item || !(item->flags() & Qt::ItemIsEnabled))
        return;
    const int index = item->data(kIndexRole).toInt();
    hide();
    Q_EMIT chosen(index);
}

// Closed by a click elsewhere, as a menu is; only once it has had the focus, which a
// compositor may give a moment after the window shows.
void SiteWindow::focusMoved(QWindow* focus) {
    if (!isVisible())
        return;
    if (focus && focus == windowHandle())
        wasActive_ = true;
    else if (wasActive_)
        hide();
}

void SiteWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace sirano
