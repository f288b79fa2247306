// What the data file holds: the site table and the three settings.
#pragma once

#include "SiteTable.h"

#include <QString>
#include <cstdint>

namespace sirano {

struct Settings {
    QString masterPassword;         // empty: no password set
    int16_t autoLoginAtStart = 0;   // 0 or 1
    int16_t autoLogoutMinutes = 0;  // 0..999; 0 turns the automatic log-out off

    bool operator==(const Settings&) const = default;
};

struct StoreContents {
    SiteTable siteTable;
    Settings settings;
};

}  // namespace sirano
