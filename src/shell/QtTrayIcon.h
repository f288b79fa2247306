// The tray icon on QSystemTrayIcon (StatusNotifierItem or XEmbed, whichever the desktop offers).
// Qt picks the kind once per process, as the QSystemTrayIcon is made: it is made as the icon is
// first added, which is after the tray host has been found.
#pragma once

#include "Menus.h"
#include "TrayIcon.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>

class QMenu;

namespace sirano {

// The click an activation stands for: a left press (Qt's Trigger) or a right press (Context).
// Nothing for a double click (under X11 it follows a Trigger that already opened the menu), the
// middle button and anything else.
std::optional<TrayClick> trayClickFor(QSystemTrayIcon::ActivationReason reason);

QIcon trayIconImage(TrayLook look);

class QtTrayIcon final : public QObject, public TrayIcon {
    Q_OBJECT
public:
    QtTrayIcon();
    ~QtTrayIcon() override;

    // Desktops that draw the menu themselves show this one on a right click.
    void setContextMenu(QMenu* menu);

    void add(TrayLook look) override;
    void modifyIcon(TrayLook look) override;
    void remove() override;

Q_SIGNALS:
    void clicked(TrayClick click);
    // The icon has just been added.
    void added();

private:
    QMenu* contextMenu_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace sirano
