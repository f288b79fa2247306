#include "QtTrayIcon.h"

#include "Menus.h"

#include <QPixmap>

#include "icons/loggedin.xpm"
#include "icons/loggedout.xpm"

namespace sirano {

std::optional<TrayClick> trayClickFor(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            return TrayClick::Left;
        case QSystemTrayIcon::Context:
            return TrayClick::Right;
        case QSystemTrayIcon::DoubleClick:
        case QSystemTrayIcon::MiddleClick:
        case QSystemTrayIcon::Unknown:
            break;
    }
    return std::nullopt;
}

// Built in as XPM arrays: an icon read from a file (or a resource) has its format sniffed by
// loading every image format plugin, and a compressed resource loads a decompressor.
QIcon trayIconImage(TrayLook look) {
    return QIcon(QPixmap(look == TrayLook::LoggedIn ? loggedin : loggedout));
}

QtTrayIcon::QtTrayIcon() = default;
QtTrayIcon::~QtTrayIcon() = default;

void QtTrayIcon::setContextMenu(QMenu* menu) {
    contextMenu_ = menu;
    if (icon_)
        icon_->setContextMenu(menu);
}

void QtTrayIcon::add(TrayLook look) {
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        icon_->setToolTip(QLatin1String(kTrayTip));
        icon_->setContextMenu(contextMenu_);
        connect(icon_.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (const auto click = trayClickFor(reason))
                        Q_EMIT clicked(*click);
                });
    }
    icon_->setIcon(trayIconImage(look));
    icon_->show();
    Q_EMIT added();
}

void QtTrayIcon::modifyIcon(TrayLook look) {
    if (icon_)
        icon_->setIcon(trayIconImage(look));
}

void QtTrayIcon::remove() {
    if (icon_)
        icon_->hide();
}

}  // namespace sirano
