// Log-in and log-out: the state, the log-in time, and what the user sees change, in order.
#include "login/Login.h"

#include <QtTest>

using namespace sirano;

namespace {

class FixedClock final : public Clock {
public:
    QDateTime t;
    QDateTime now() const override { return t; }
};

class RecordingView final : public LoginView {
public:
    QStringList log;
    void setLogInOutCaption(const QString& caption) override { log << "caption " + caption; }
    void setTrayLook(TrayLook look) override {
        log << (look == TrayLook::LoggedIn ? "icon in" : "icon out");
    }
    void setProtectedItemEnabled(ProtectedItem item, bool enabled) override {
        static const char* names[] = {"Open", "Memory", "Password"};
        log << QString::fromLatin1(enabled ? "enable " : "disable ") +
                   QLatin1String(names[static_cast<int>(item)]);
    }
};

const QStringList kLoginSteps = {"caption ﾛｸﾞｱｳﾄ", "icon in", "enable Open", "enable Memory",
                                 "enable Password"};
const QStringList kLogoutSteps = {"caption ﾛｸﾞｲﾝ", "icon out", "disable Open", "disable Memory",
                                  "disable Password"};

}  // namespace

class TestLogin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loginLogoutLogin() {
        AppState state;
        RecordingView view;
        FixedClock clock;

        clock.t = QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56));
        login(state, view, clock);
        QVERIFY(state.loggedIn);
        QCOMPARE(state.loginTime, QStringLiteral("2008/06/15 12:34:56"));
        QCOMPARE(view.log, kLoginSteps);

        view.log.clear();
        clock.t = clock.t.addSecs(90);
        logout(state, view);
        QVERIFY(!state.loggedIn);
        QCOMPARE(state.loginTime, QStringLiteral("2008/06/15 12:34:56"));  // kept
        QCOMPARE(view.log, kLogoutSteps);

        // Either procedure runs all its steps in either state; a repeated log-in restarts the time.
        view.log.clear();
        logout(state, view);
        login(state, view, clock);
        clock.t = QDateTime(QDate(2008, 6, 16), QTime(0, 0));
        login(state, view, clock);
        QCOMPARE(view.log, kLogoutSteps + kLoginSteps + kLoginSteps);
        QCOMPARE(state.loginTime, QStringLiteral("2008/06/16"));
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
