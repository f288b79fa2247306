#include "SyncConflicts.h"

#include <QDir>

namespace sirano {

// By hand rather than by a regular expression or a QDir name filter (which is one): the tray
// program checks its folder at every start, and PCRE2 would be loaded and compiled for this alone.
bool isConflictCopyName(const QString& fileName) {
    const QLatin1StringView stem("SIRANO");
    const QLatin1StringView extension(".DAT");
    if (fileName.size() < stem.size() + extension.size() ||
        !fileName.startsWith(stem, Qt::CaseInsensitive) ||
        !fileName.endsWith(extension, Qt::CaseInsensitive))
        return false;
    const QStringView middle =
        QStringView(fileName).sliced(stem.size(), fileName.size() - stem.size() - extension.size());
    if (middle.contains(u'/'))
        return false;
    // Syncthing
    if (middle.startsWith(QLatin1StringView(".sync-conflict-"), Qt::CaseInsensitive))
        return true;
    // Nextcloud and Dropbox
    return middle.size() >= 3 && middle.startsWith(QLatin1StringView(" (")) &&
           middle.endsWith(u')') &&
           middle.sliced(2, middle.size() - 3)
               .contains(QLatin1StringView("conflicted copy"), Qt::CaseInsensitive);
}

QStringList conflictCopiesIn(const QString& folder) {
    QStringList found;
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (isConflictCopyName(name))
            found << name;
    }
    return found;
}

}  // namespace sirano
