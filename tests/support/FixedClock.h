// A clock that stands still until the test moves it.
#pragma once

#include "store/DateTimeText.h"

namespace sirano::test {

class FixedClock final : public Clock {
public:
    QDateTime now() const override { return at; }
    void advance(qint64 seconds) { at = at.addSecs(seconds); }
    QDateTime at = QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56));
};

}  // namespace sirano::test
