// The notification-area icon as the tray controller uses it: added once, its look switched by
// log-in and log-out, removed at the end. Tip "SIRANO".
#pragma once

#include "login/Login.h"

namespace sirano {

inline constexpr auto kTrayTip = "SIRANO";

class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    virtual void add(TrayLook look) = 0;
    virtual void modifyIcon(TrayLook look) = 0;
    // Harmless when the icon is not shown.
    virtual void remove() = 0;
};

}  // namespace sirano
