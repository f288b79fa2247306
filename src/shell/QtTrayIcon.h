// The tray icon on QSystemTrayIcon (StatusNotifierItem or XEmbed, whichever the desktop offers).
#pragma once

#include "TrayIcon.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

class QMenu;

namespace sirano {

// The mouse message of the tray callback that an activation stands for: a left press 0x201, a
// right press 0x204, a double click 0x203, the middle button 0x207, anything else 0x200.
int mouseMessageFor(QSystemTrayIcon::ActivationReason reason);

QIcon trayIconImage(TrayLook look);

class QtTrayIcon final : public QObject, public TrayIcon {
    Q_OBJECT
public:
    // markFile, when not empty, receives the wall-clock time in nanoseconds since the epoch at the
    // moment the icon is added (for the start-up benchmark).
    explicit QtTrayIcon(QString markFile = {});

    static bool trayAvailable();
    // Desktops that draw the menu themselves show this one on a right click.
    void setContextMenu(QMenu* menu);

    void add(TrayLook look) override;
    void modifyIcon(TrayLook look) override;
    void remove() override;

Q_SIGNALS:
    void mouseMessage(int message);

private:
    QSystemTrayIcon icon_;
    QString markFile_;
};

}  // namespace sirano
