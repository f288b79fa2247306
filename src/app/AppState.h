// The program-wide state: owned by the application and passed to every part that needs it.
#pragma once

#include "store/Generator.h"
#include "store/StoreContents.h"

#include <QString>

namespace sirano {

struct AppState {
    SiteTable siteTable;
    Settings settings;

    bool loggedIn = false;
    QString loginTime;  // date-time text of the last log-in (see store/DateTimeText.h)

    QString dataFilePath;  // ".../SIRANO.DAT"
    QString dataFolder;    // holds the data file, error.log and the browser profile

    Generator generator;  // the one generator of the process; the codec's only user
};

}  // namespace sirano
