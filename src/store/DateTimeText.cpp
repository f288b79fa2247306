#include "DateTimeText.h"

namespace sirano {
namespace {
const QString kDateTimeFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");
const QString kDateFormat = QStringLiteral("yyyy/MM/dd");
}  // namespace

QString dateTimeText(const QDateTime& t) {
    const QTime time = t.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return t.toString(kDateFormat);
    return t.toString(kDateTimeFormat);
}

std::optional<QDateTime> parseDateTimeText(const QString& text) {
    QDateTime t = QDateTime::fromString(text, kDateTimeFormat);
    if (!t.isValid())
        t = QDateTime(QDate::fromString(text, kDateFormat), QTime(0, 0));
    if (!t.isValid())
        return std::nullopt;
    return t;
}

}  // namespace sirano
