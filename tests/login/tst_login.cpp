// The log-in rules without a window: when the automatic log-out is due, what "ﾛｸﾞｲﾝ"/"ﾛｸﾞｱｳﾄ" does.
#include "login/Login.h"
#include "support/Errors.h"

#include <QtTest>

using namespace sirano;
using sirano::test::errorNumber;

class TestLogin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void autoLogoutDue_data() {
        QTest::addColumn<QString>("loginTime");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("due");
        const auto at = [](int h, int m, int s, int day = 15) {
            return QDateTime(QDate(2008, 6, day), QTime(h, m, s));
        };
        const QString tenOClock = "2008/06/15 10:00:30";
        QTest::newRow("4 boundaries") << tenOClock << 5 << at(10, 4, 59) << false;
        QTest::newRow("5 boundaries, last second") << tenOClock << 5 << at(10, 5, 59) << false;
        QTest::newRow("6 boundaries") << tenOClock << 5 << at(10, 6, 0) << true;
        QTest::newRow("much later") << tenOClock << 5 << at(18, 0, 0) << true;
        QTest::newRow("off") << tenOClock << 0 << at(10, 0, 0, 20) << false;
        QTest::newRow("negative is off") << tenOClock << -1 << at(10, 0, 0, 20) << false;
        QTest::newRow("two boundaries in 61 seconds")
            << "2008/06/15 10:00:59" << 1 << at(10, 2, 0) << true;
        QTest::newRow("119 seconds, one boundary")
            << "2008/06/15 10:00:00" << 1 << at(10, 1, 59) << false;
        QTest::newRow("log-in at midnight, date alone") << "2008/06/15" << 5 << at(0, 6, 0) << true;
        QTest::newRow("log-in at midnight, before") << "2008/06/15" << 5 << at(0, 5, 59) << false;
        QTest::newRow("across midnight") << "2008/06/15 23:58:30" << 5 << at(0, 4, 0, 16) << true;
        QTest::newRow("clock set back") << tenOClock << 5 << at(9, 0, 0) << false;
    }
    void autoLogoutDue() {
        QFETCH(QString, loginTime);
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

    void autoLogoutWithUnreadableLoginTime() {
        AppState state;
        state.loggedIn = true;
        state.loginTime = "15.06.2008 10:00";
        state.settings.autoLogoutMinutes = 5;
        const QDateTime now(QDate(2008, 6, 15), QTime(10, 30));
        QCOMPARE(errorNumber([&] { sirano::autoLogoutDue(state, now); }), err::kTypeMismatch);
        state.settings.autoLogoutMinutes = 0;  // off: the time is never read
        QVERIFY(!sirano::autoLogoutDue(state, now));
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
