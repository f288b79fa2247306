#include "DataFileErrors.h"

namespace sirano {
namespace {

QString loadMessage(const QString& file, int line, int position, const Reason& reason) {
    QString where;
    if (line > 0 && position > 0)
        where = QStringLiteral(" (line %1, value %2)").arg(line).arg(position);
    else if (line > 0)
        where = QStringLiteral(" (line %1)").arg(line);
    return QStringLiteral("The data file %1 cannot be loaded%2: %3.")
        .arg(file, where, reasonText(reason, Language::English));
}

QString saveMessage(const QString& file, const Reason& reason, bool unchanged) {
    const QString why = reasonText(reason, Language::English);
    if (file.isEmpty())
        return why.left(1).toUpper() + why.mid(1) + QLatin1Char('.');
    return QStringLiteral("The data file %1 cannot be saved: %2.%3")
        .arg(file, why, unchanged ? QStringLiteral(" The file is unchanged.") : QString());
}

}  // namespace

LoadError::LoadError(int number, QString file, int line, int position, Reason reason)
    : SiranoError(number, loadMessage(file, line, position, reason)),
      file_(std::move(file)),
      line_(line),
      position_(position),
      reason_(std::move(reason)) {}

SaveError::SaveError(int number, QString file, Reason reason, bool fileUnchanged)
    : SiranoError(number, saveMessage(file, reason, fileUnchanged)),
      file_(std::move(file)),
      reason_(std::move(reason)),
      fileUnchanged_(fileUnchanged) {}

}  // namespace sirano
