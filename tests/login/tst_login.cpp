// The log-in rules without a window: when the automatic log-out is due, what "ﾛｸﾞｲﾝ"/"ﾛｸﾞｱｳﾄ" does.
#include "login/Login.h"
#include "support/Errors.h"
#include "support/FixedClock.h"

#include <QScopeGuard>
#include <QTimeZone>
#include <QtTest>
#include <ctime>

using namespace sirano;
using sirano::test::errorNumber;

class TestLogin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void autoLogoutDue_data() {
        QTest::addColumn<QDateTime>("loginTime");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("due");
        const auto at = [](int h, int m, int s, int day = 15) {
            return QDateTime(QDate(2008, 6, day), QTime(h, m, s), Qt::UTC);
        };
        const QDateTime tenOClock = at(10, 0, 30);
        QTest::newRow("4 boundaries") << tenOClock << 5 << at(10, 4, 59) << false;
        QTest::newRow("5 boundaries, last second") << tenOClock << 5 << at(10, 5, 59) << false;
        QTest::newRow("6 boundaries") << tenOClock << 5 << at(10, 6, 0) << true;
        QTest::newRow("much later") << tenOClock << 5 << at(18, 0, 0) << true;
        QTest::newRow("off") << tenOClock << 0 << at(10, 0, 0, 20) << false;
        QTest::newRow("negative is off") << tenOClock << -1 << at(10, 0, 0, 20) << false;
        QTest::newRow("two boundaries in 61 seconds") << at(10, 0, 59) << 1 << at(10, 2, 0) << true;
        QTest::newRow("119 seconds, one boundary") << at(10, 0, 0) << 1 << at(10, 1, 59) << false;
        QTest::newRow("log-in at midnight") << at(0, 0, 0) << 5 << at(0, 6, 0) << true;
        QTest::newRow("log-in at midnight, before") << at(0, 0, 0) << 5 << at(0, 5, 59) << false;
        QTest::newRow("across midnight") << at(23, 58, 30) << 5 << at(0, 4, 0, 16) << true;
        QTest::newRow("clock set back") << tenOClock << 5 << at(9, 0, 0) << false;
    }
    void autoLogoutDue() {
        QFETCH(QDateTime, loginTime);
        QFETCH(int, minutes);
        QFETCH(QDateTime, now);
        QFETCH(bool, due);
        AppState state;
        state.loggedIn = true;
        state.loginTime = loginTime;
        state.settings.autoLogoutMinutes = static_cast<int16_t>(minutes);
        QCOMPARE(sirano::autoLogoutDue(state, now), due);
        state.loggedIn = false;
        QVERIFY(!sirano::autoLogoutDue(state, now));
    }

    // Logged in through login() with a local clock on the nights the clocks change: the
    // log-out comes the set minutes later on the time line. Read back as local text, 02:30 on
    // the night the clocks go back was taken for its first occurrence, an hour early.
    void autoLogoutAcrossAClockChange_data() {
        QTest::addColumn<QDateTime>("loginUtc");
        QTest::addColumn<int>("minutesLater");
        QTest::addColumn<bool>("due");
        const auto utc = [](int month, int day, int h, int m) {
            return QDateTime(QDate(2008, month, day), QTime(h, m), Qt::UTC);
        };
        // 26 Oct 2008: 03:00 CEST became 02:00 CET at 01:00 UTC.
        QTest::newRow("back, 02:30 the second time, 30 min") << utc(10, 26, 1, 30) << 30 << false;
        QTest::newRow("back, 02:30 the second time, 62 min") << utc(10, 26, 1, 30) << 62 << true;
        QTest::newRow("back, 02:30 the first time, 30 min") << utc(10, 26, 0, 30) << 30 << false;
        QTest::newRow("back, 02:30 the first time, 62 min") << utc(10, 26, 0, 30) << 62 << true;
        // 30 Mar 2008: 02:00 CET became 03:00 CEST at 01:00 UTC.
        QTest::newRow("forward, 01:50, 30 min") << utc(3, 30, 0, 50) << 30 << false;
        QTest::newRow("forward, 01:50, 62 min") << utc(3, 30, 0, 50) << 62 << true;
    }
    void autoLogoutAcrossAClockChange() {
        QFETCH(QDateTime, loginUtc);
        QFETCH(int, minutesLater);
        QFETCH(bool, due);
        const QByteArray tz = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        const auto restore = qScopeGuard([&] {
            tz.isNull() ? qunsetenv("TZ") : qputenv("TZ", tz);
            tzset();
        });
        struct : LoginView {
            void setLogInOutCaption(const QString&) override {}
            void setTrayLook(TrayLook) override {}
            void setProtectedItemEnabled(ProtectedItem, bool) override {}
        } view;
        test::FixedClock clock;
        clock.at = loginUtc.toLocalTime();
        AppState state;
        state.settings.autoLogoutMinutes = 60;
        sirano::login(state, view, clock);
        QCOMPARE(sirano::autoLogoutDue(state, loginUtc.addSecs(minutesLater * 60).toLocalTime()),
                 due);
    }

    void logInOutAction_data() {
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("expected");
        QTest::newRow("logged in") << true << "pw" << int(LogInOutAction::Logout);
        QTest::newRow("logged in, no password") << true << "" << int(LogInOutAction::Logout);
        QTest::newRow("logged out, no password") << false << "" << int(LogInOutAction::Login);
        QTest::newRow("logged out, password") << false << "pw" << int(LogInOutAction::Prompt);
        QTest::newRow("logged out, blank password") << false << " " << int(LogInOutAction::Prompt);
    }
    void logInOutAction() {
        QFETCH(bool, loggedIn);
        QFETCH(QString, password);
        QFETCH(int, expected);
        AppState state;
        state.loggedIn = loggedIn;
        state.settings.masterPassword = password;
        QCOMPARE(int(sirano::logInOutAction(state)), expected);
    }
};

QTEST_GUILESS_MAIN(TestLogin)
#include "tst_login.moc"
