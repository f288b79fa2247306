// "SIRANO.DAT" on disk: loaded from a path and saved to one atomically. The format itself is in
// DataFileFormat.h, its failures in DataFileErrors.h, the password rules in MasterPassword.h.
#pragma once

#include "DataFileErrors.h"
#include "DataFileFormat.h"
#include "Envelope.h"
#include "MasterPassword.h"

#include <QString>

namespace sirano {

// Reads path. Throws LoadError (also for a file that cannot be opened, and for anything but a
// regular file). An encrypted file is opened with access (see plainDataFileBytes in Envelope.h),
// which then holds the key for the saves; without access it is refused.
StoreContents loadDataFile(const QString& path, Generator& gen, DataFileAccess* access = nullptr);
// Atomic save of the table and settings to path (see writeFileAtomically in SafeFile.h); the file
// ends up with mode 0600, also when it had another. Throws SaveError (75, or 9 for settings that do
// not fit) naming the file and the reason, with the system's error; any failed write, sync or
// rename leaves the old file byte for byte. With a key the file is written encrypted with it.
void saveDataFile(const QString& path, Generator& gen, const SiteTable& table,
                  const Settings& settings, const DataFileKey* key = nullptr);

}  // namespace sirano
