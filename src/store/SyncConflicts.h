// The copies a sync tool leaves beside the data file when two machines changed it between two
// syncs: Syncthing's "SIRANO.sync-conflict-<date>-<time>-<device>.DAT", Nextcloud's and
// Dropbox's "SIRANO (conflicted copy <date> <time>).DAT" and "SIRANO (<who>'s conflicted copy
// <date>).DAT".
#pragma once

#include <QString>
#include <QStringList>

namespace sirano {

bool isConflictCopyName(const QString& fileName);
// The conflict copies in folder, by name, in name order.
QStringList conflictCopiesIn(const QString& folder);

}  // namespace sirano
