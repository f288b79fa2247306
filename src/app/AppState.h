// The program-wide state: owned by the application and passed to every part that needs it.
#pragma once

#include "store/Envelope.h"
#include "store/FileStamp.h"
#include "store/Generator.h"
#include "store/StoreContents.h"

#include <QDateTime>
#include <QString>

namespace sirano {

struct AppState {
    SiteTable siteTable;
    Settings settings;

    bool loggedIn = false;
    QDateTime loginTime;  // the instant of the last log-in, in UTC

    QString dataFilePath;  // ".../SIRANO.DAT"
    // The data file is (to be) encrypted: while logged out the table, the settings and the key
    // are not held, and a log-in reads the file again.
    bool dataFileEncrypted = false;
    // The key of an encrypted data file while logged in.
    std::optional<DataFileKey> dataFileKey;
    QString dataFolder;  // holds the data file, error.log and the browser profile

    Generator generator;  // the one generator of the process; the codec's only user

    // The data file as this program last read or wrote it, and its stamp then (nothing when
    // there was no file): another program's change shows as a different stamp, and this
    // program's own changes are what differs from these contents.
    StoreContents fileContents;
    std::optional<FileStamp> fileStamp;
};

}  // namespace sirano
