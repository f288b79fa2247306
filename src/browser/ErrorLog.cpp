#include "ErrorLog.h"

#include "store/DataFolder.h"

#include <QFile>
#include <exception>

namespace sirano {

FileErrorLog::FileErrorLog(QString folder, const Clock& clock) : clock_(clock) {
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    path_ = folder + QLatin1String(kErrorLogName);
}

QString FileErrorLog::formatLine(const QDateTime& at, int16_t placeCode, int32_t errNumber) {
    // Place codes are the constants in place::, never negative.
    const QString place = QString::number(placeCode).rightJustified(4, u'0');
    // Negative numbers show as their 32-bit two's complement.
    const QString number = QString::number(static_cast<uint32_t>(errNumber), 16).toUpper();
    return dateTimeText(at) + QLatin1String(" Error:") + place + u'(' + number + u')';
}

void FileErrorLog::logError(int16_t placeCode, int32_t errNumber) {
    // Called from error handlers: nothing may escape, and a missing file must never be created,
    // so the file is opened only if it already exists (no check-then-create race).
    try {
        QFile file(path_);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
            return;
        // The line is ASCII only, so its code page 932 bytes are its Latin-1 bytes.
        const QByteArray line =
            formatLine(clock_.now(), placeCode, errNumber).toLatin1() + QByteArrayLiteral("\r\n");
        file.write(line);
        file.close();
    } catch (const std::exception&) {
        // Dropped: the caller is already handling a failure and relies on returning normally.
    }
}

}  // namespace sirano
