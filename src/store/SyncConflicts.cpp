#include "SyncConflicts.h"

#include <QDir>
#include <QRegularExpression>

namespace sirano {

bool isConflictCopyName(const QString& fileName) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^SIRANO(\.sync-conflict-[^/]*| \([^/]*conflicted copy[^/]*\))\.DAT$)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(fileName).hasMatch();
}

QStringList conflictCopiesIn(const QString& folder) {
    QStringList found;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("SIRANO*")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (isConflictCopyName(name))
            found << name;
    }
    return found;
}

}  // namespace sirano
