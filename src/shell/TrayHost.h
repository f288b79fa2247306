// Which notification area the desktop offers, asked of the desktop itself. Qt's own answer is
// taken once per process, when the first tray icon is made, and a panel that starts later (as
// panels often do at log-in, after the autostart programs) would never be seen.
#pragma once

namespace sirano {

enum class TrayHost {
    None,
    // A StatusNotifierWatcher on the session bus with a host registered (KDE Plasma, GNOME's
    // AppIndicator extension, XFCE, waybar): the host draws the icon and the command menu.
    StatusNotifier,
    // An owner of the X11 tray selection of the screen (trayer, stalonetray, older panels).
    XEmbed,
};

// Asked anew on every call; a status notifier host wins where both exist, as it does in Qt.
TrayHost findTrayHost();

}  // namespace sirano
