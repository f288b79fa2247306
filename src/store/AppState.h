// The program-wide state: owned by the application and passed to every part that needs it.
#pragma once

#include "Generator.h"
#include "SiteTable.h"

#include <QString>
#include <cstdint>

namespace sirano {

struct Settings {
    QString masterPassword;        // empty: no password set
    int16_t autoLoginAtStart = 0;  // 0 or 1
    int16_t autoLogoutMinutes = 0; // 0..999; 0 turns the automatic log-out off

    bool operator==(const Settings&) const = default;
};

struct AppState {
    SiteTable siteTable;
    Settings settings;

    bool loggedIn = false;
    QString loginTime;  // date-time text of the last log-in (see DateTimeText.h)

    QString dataFilePath;  // ".../SIRANO.DAT"
    QString dataFolder;    // holds the data file, error.log and the browser profile

    // The site settings dialog's flags, alive for the whole run.
    bool asterisk = true;      // stored values hidden
    int16_t selectedSite = 0;  // entry being edited

    Generator generator;  // the one generator of the process; the codec's only user
};

}  // namespace sirano
