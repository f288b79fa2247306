// The general date-time text of the log-in time and the error log: "yyyy/MM/dd HH:mm:ss",
// the date alone at exactly midnight.
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

namespace sirano {

QString dateTimeText(const QDateTime& t);
// Nothing when the text is not such a date-time.
std::optional<QDateTime> parseDateTimeText(const QString& text);

// The clock, injected so that tests choose the time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

}  // namespace sirano
