// The one-second tick: automatic log-out, the automatic fill with its markers, busy windows, and
// what a tick costs in page round trips.
#include "FakeBrowser.h"

#include <QTest>

using namespace sirano;
using namespace sirano::test;

namespace {
const QString kUrl = QStringLiteral("https://site.example/login");

QList<SiteField> loginFields(const QString& user = QStringLiteral("alice")) {
    return {field(0, 0, "text", "user", user), field(0, 1, "password", "pw", "secret"),
            field(0, 2, "checkbox", "keep", "True")};
}

QDateTime at(int h, int m, int s, int day = 15) {
    return QDateTime(QDate(2008, 6, day), QTime(h, m, s));
}
}  // namespace

class AutoFillTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void fillsOnceUntilSomethingLoads() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.timer1Timer();
        QCOMPARE(w.element(0, 0).value, "alice");
        QVERIFY(w.element(0, 2).checked);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, w.hwnd());
        QCOMPARE(w.roundTrips, 1);

        // The user's own edits survive later ticks, which cost no page round trip.
        w.element(0, 0).value = "bob";
        f.automation.timer1Timer();
        f.automation.timer1Timer();
        QCOMPARE(w.element(0, 0).value, "bob");
        QCOMPARE(w.roundTrips, 1);

        // A reload: busy for a tick clears the marker, then the page is filled again.
        w.isBusy = true;
        f.automation.timer1Timer();
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 0);
        w.isBusy = false;
        f.automation.timer1Timer();
        QCOMPARE(w.element(0, 0).value, "alice");
        QCOMPARE(w.roundTrips, 2);
        QVERIFY(f.log.lines.isEmpty());
    }

    void nothingToFillCostsNoRoundTrip_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<bool>("alreadyFilled");
        QTest::newRow("already filled") << kUrl << "" << true;
        QTest::newRow("other site") << "https://other.example/"
                                    << "" << false;
        QTest::newRow("other origin mentions it")
            << "https://evil.example/?u=" + kUrl << "" << false;
        QTest::newRow("keyword absent") << kUrl << "signin" << false;
        QTest::newRow("blank keyword") << kUrl << " " << false;
        QTest::newRow("no address") << ""
                                    << "" << false;
    }
    void nothingToFillCostsNoRoundTrip() {
        QFETCH(QString, location);
        QFETCH(QString, keyword);
        QFETCH(bool, alreadyFilled);
        AutomationFixture f;
        FakeWindow& w = f.browser.addWindow(location, loginForms());
        SiteEntry& e = f.addEntry(kUrl, loginFields(), keyword);
        e.filledHwnd = alreadyFilled ? w.hwnd() : 0;
        const int32_t before = e.filledHwnd;
        f.automation.timer1Timer();
        QCOMPARE(f.browser.pageRoundTrips(), 0);
        QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, before);
    }

    void keywordAndCase_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("keyword");
        QTest::newRow("keyword in lower case, address in capitals")
            << "https://site.example/LOGIN?x"
            << "https://site.example/"
            << "login";
        QTest::newRow("address in capitals") << "HTTPS://SITE.EXAMPLE/LOGIN" << kUrl << "";
        QTest::newRow("blank keyword present") << "https://site.example/a b"
                                               << ""
                                               << " ";
        QTest::newRow("empty address matches any page") << "http://x.example/"
                                                        << ""
                                                        << "";
    }
    void keywordAndCase() {
        QFETCH(QString, location);
        QFETCH(QString, url);
        QFETCH(QString, keyword);
        AutomationFixture f;
        f.addEntry(url, loginFields(), keyword);
        FakeWindow& w = f.browser.addWindow(location, loginForms());
        f.automation.timer1Timer();
        QCOMPARE(w.element(0, 0).value, "alice");
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, w.hwnd());
    }

    void entriesShareOneWrite() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields("first"));
        f.addEntry("https://other.example/", loginFields("other"));
        f.addEntry("site.example", {field(0, 0, "text", "user", "second")});
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.autoFillWindow(w);
        // One write with both matching entries' edits, in entry order: the later one wins.
        QCOMPARE(w.writeCalls.size(), 1);
        QCOMPARE(w.writeCalls[0].size(), 4);
        QCOMPARE(w.element(0, 0).value, "second");
        QCOMPARE(w.element(0, 1).value, "secret");
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, w.hwnd());
        QCOMPARE(f.state.siteTable.at(1).filledHwnd, 0);
        QCOMPARE(f.state.siteTable.at(2).filledHwnd, w.hwnd());
    }

    void renamedElementIsSkipped() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        w.element(0, 0).name = "User";  // names compare exactly
        f.automation.timer1Timer();
        QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(w.element(0, 1).value, "secret");
        QVERIFY(w.element(0, 2).checked);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, w.hwnd());
    }

    void entryWithoutFieldsIsMarked() {
        AutomationFixture f;
        f.addEntry(kUrl);
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.timer1Timer();
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, w.hwnd());
        f.automation.timer1Timer();
        QCOMPARE(w.roundTrips, 1);
    }

    // Entries before the failure are filled and marked; the failing one keeps its old marker, the
    // later ones are not reached; the failure recurs on every tick; other windows are still filled.
    void failureMidWrite_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("number");
        QTest::newRow("position past the end") << "short page" << 91;
        QTest::newRow("element refuses") << "refuses" << 438;
        QTest::newRow("window closed") << "closed" << 462;
    }
    void failureMidWrite() {
        QFETCH(QString, failure);
        QFETCH(int, number);
        AutomationFixture f;
        f.addEntry(kUrl, {field(0, 1, "password", "pw", "one")});
        f.addEntry(kUrl,
                   {field(0, 0, "text", "user", "two"), field(0, 2, "checkbox", "keep", "True")})
            .filledHwnd = 3;
        f.addEntry(kUrl, {field(0, 0, "text", "user", "three")});
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& next = f.browser.addWindow(kUrl, loginForms());
        if (failure == "short page")
            w.forms[0].removeLast();
        else if (failure == "refuses")
            w.element(0, 2).writeFailure = number;
        else
            w.closed = true;

        f.automation.autoFillWindow(w);
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{0, number}}));
        const bool reached = failure != "closed";
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, reached ? w.hwnd() : 0);
        QCOMPARE(f.state.siteTable.at(1).filledHwnd, 3);
        QCOMPARE(f.state.siteTable.at(2).filledHwnd, 0);
        QCOMPARE(w.element(0, 1).value, reached ? "one" : "");
        QCOMPARE(w.element(0, 0).value, reached ? "two" : "");  // written before the failure
        if (failure != "short page")
            QVERIFY(!w.element(0, 2).checked);

        f.automation.timer1Timer();
        QCOMPARE(f.log.lines.size(), 2);
        QCOMPARE(next.element(0, 0).value, "three");
        QVERIFY(next.element(0, 2).checked);
        QCOMPARE(f.state.siteTable.at(2).filledHwnd, next.hwnd());
    }

    void windowsNotToTouch_data() {
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("hasForms");
        QTest::addColumn<int>("roundTrips");
        QTest::newRow("logged out") << false << false << true << 0;
        QTest::newRow("loading") << true << true << true << 0;
        QTest::newRow("no forms") << true << false << false << 1;
    }
    void windowsNotToTouch() {
        QFETCH(bool, loggedIn);
        QFETCH(bool, busy);
        QFETCH(bool, hasForms);
        QFETCH(int, roundTrips);
        AutomationFixture f;
        f.state.loggedIn = loggedIn;
        f.addEntry(kUrl, loginFields()).filledHwnd = 9;
        FakeWindow& w = f.browser.addWindow(kUrl, hasForms ? loginForms() : QList<FakeForm>{});
        w.isBusy = busy;
        f.automation.autoFillWindow(w);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 9);
        if (hasForms)
            QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(w.roundTrips, roundTrips);
        QVERIFY(f.log.lines.isEmpty());
    }

    void twoWindowsOfOneSiteAreFilledEveryTick() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& a = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& b = f.browser.addWindow(kUrl, loginForms());
        f.automation.timer1Timer();
        f.automation.timer1Timer();
        QCOMPARE(a.roundTrips, 2);
        QCOMPARE(b.roundTrips, 2);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, b.hwnd());
    }

    void busyWindowClearsEveryMarker() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        f.addEntry("https://b.example/", loginFields()).filledHwnd = 42;
        f.addEntry("https://c.example/", loginFields()).filledHwnd = 43;
        SiteEntry& freeSlot = f.state.siteTable.at(3);
        freeSlot.filledHwnd = 44;  // not an entry: left alone
        FakeWindow& before = f.browser.addWindow(kUrl, loginForms());
        f.browser.addWindow("https://b.example/").isBusy = true;
        FakeWindow& after = f.browser.addWindow("https://c.example/", loginForms());

        f.automation.timer1Timer();
        QCOMPARE(before.element(0, 0).value, "alice");  // filled, then its marker cleared again
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 0);
        QCOMPARE(f.state.siteTable.at(1).filledHwnd, 0);
        QCOMPARE(f.state.siteTable.at(2).filledHwnd, 0);
        QCOMPARE(freeSlot.filledHwnd, 44);
        QCOMPARE(after.roundTrips, 0);

        // While the loading goes on, the window before it is filled again on every tick.
        before.element(0, 0).value = "edited";
        f.automation.timer1Timer();
        QCOMPARE(before.element(0, 0).value, "alice");
        QCOMPARE(after.roundTrips, 0);
    }

    void autoLogout_data() {
        QTest::addColumn<QString>("loginTime");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("loggedOut");
        const QString tenOClock = "2008/06/15 10:00:30";
        QTest::newRow("4 boundaries") << tenOClock << 5 << at(10, 4, 59) << false;
        QTest::newRow("5 boundaries, last second") << tenOClock << 5 << at(10, 5, 59) << false;
        QTest::newRow("6 boundaries") << tenOClock << 5 << at(10, 6, 0) << true;
        QTest::newRow("much later") << tenOClock << 5 << at(18, 0, 0) << true;
        QTest::newRow("off") << tenOClock << 0 << at(10, 0, 0, 20) << false;
        QTest::newRow("negative is off") << tenOClock << -1 << at(10, 0, 0, 20) << false;
        QTest::newRow("one second, one boundary")
            << "2008/06/15 10:00:59" << 0 << at(10, 1, 0) << false;
        QTest::newRow("two boundaries in 61 seconds")
            << "2008/06/15 10:00:59" << 1 << at(10, 2, 0) << true;
        QTest::newRow("119 seconds, one boundary")
            << "2008/06/15 10:00:00" << 1 << at(10, 1, 59) << false;
        QTest::newRow("log-in at midnight, date alone") << "2008/06/15" << 5 << at(0, 6, 0) << true;
        QTest::newRow("log-in at midnight, before") << "2008/06/15" << 5 << at(0, 5, 59) << false;
        QTest::newRow("across midnight") << "2008/06/15 23:58:30" << 5 << at(0, 4, 0, 16) << true;
        QTest::newRow("clock set back") << tenOClock << 5 << at(9, 0, 0) << false;
    }
    void autoLogout() {
        QFETCH(QString, loginTime);
        QFETCH(int, minutes);
        QFETCH(QDateTime, now);
        QFETCH(bool, loggedOut);
        AutomationFixture f;
        f.state.loginTime = loginTime;
        f.state.settings.autoLogoutMinutes = static_cast<int16_t>(minutes);
        f.clock.at = now;
        f.automation.timer1Timer();
        QCOMPARE(f.state.loggedIn, !loggedOut);
        QCOMPARE(f.hooks.calls, loggedOut ? QStringList{"logout"} : QStringList{});
        QVERIFY(f.log.lines.isEmpty());
    }

    void logoutInTheTickFillsNothingButBusyStillClears() {
        AutomationFixture f;
        f.state.loginTime = "2008/06/15 10:00:30";
        f.state.settings.autoLogoutMinutes = 5;
        f.clock.at = at(10, 6, 0);
        f.addEntry(kUrl, loginFields()).filledHwnd = 7;
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.timer1Timer();
        QCOMPARE(w.roundTrips, 0);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 7);

        // Logged out now, but the tick that logged out also walked the windows.
        f.state.loggedIn = true;
        f.state.loginTime = "2008/06/15 10:06:00";
        w.isBusy = true;
        f.clock.at = at(10, 30, 0);
        f.automation.timer1Timer();
        QVERIFY(!f.state.loggedIn);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 0);
    }

    void loggedOutTickTouchesNothing() {
        AutomationFixture f;
        f.state.loggedIn = false;
        f.state.loginTime = "garbage";
        f.state.settings.autoLogoutMinutes = 5;
        f.addEntry(kUrl, loginFields()).filledHwnd = 7;
        f.browser.addWindow(kUrl, loginForms()).isBusy = true;
        f.automation.timer1Timer();
        QCOMPARE(f.browser.listings, 0);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 7);
        QVERIFY(f.log.lines.isEmpty());
    }

    void tickFailures_data() {
        QTest::addColumn<QString>("loginTime");
        QTest::addColumn<int>("windowsFailure");
        QTest::addColumn<int>("number");
        QTest::newRow("unreadable log-in time") << "15.06.2008 10:00" << 0 << 13;
        QTest::newRow("window list") << "2008/06/15 10:00:30" << 462 << 462;
    }
    void tickFailures() {
        QFETCH(QString, loginTime);
        QFETCH(int, windowsFailure);
        QFETCH(int, number);
        AutomationFixture f;
        f.state.loginTime = loginTime;
        f.state.settings.autoLogoutMinutes = 5;
        f.clock.at = at(10, 1, 0);
        f.browser.windowsFailure = windowsFailure;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.timer1Timer();
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{1, number}}));
        QCOMPARE(w.roundTrips, 0);
        QVERIFY(f.state.loggedIn);
    }

    void noWindowNoWork() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields()).filledHwnd = 7;
        f.automation.timer1Timer();
        QCOMPARE(f.browser.listings, 1);
        QCOMPARE(f.state.siteTable.at(0).filledHwnd, 7);
        QVERIFY(f.log.lines.isEmpty());
    }
};

QTEST_GUILESS_MAIN(AutoFillTest)
#include "tst_autofill.moc"
