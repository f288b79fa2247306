// The browser half of the one-second tick: the automatic fill with its markers, loading windows,
// reloads, and what a tick costs in page round trips.
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

bool filled(const AutomationFixture& f, int entry, const FakeWindow& w) {
    return f.state.siteTable.at(entry).filledWindows.contains(w.windowId());
}
}  // namespace

class AutoFillTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void fillsOncePerPage() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "alice");
        QVERIFY(w.element(0, 2).checked);
        QVERIFY(filled(f, 0, w));
        QCOMPARE(w.roundTrips, 1);

        // The user's own edits survive later ticks, which cost no page round trip.
        w.element(0, 0).value = "bob";
        f.automation.tick();
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "bob");
        QCOMPARE(w.roundTrips, 1);

        // A reload that starts and ends between two ticks is filled all the same.
        w.reload();
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "alice");
        QCOMPARE(w.roundTrips, 2);

        // A reload seen while it loads: nothing until it has loaded, then once.
        w.reload(false);
        f.automation.tick();
        QCOMPARE(w.roundTrips, 2);
        QVERIFY(!filled(f, 0, w));
        w.isBusy = false;
        f.automation.tick();
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "alice");
        QCOMPARE(w.roundTrips, 3);
        QVERIFY(f.log.lines.isEmpty());
    }

    // A window that keeps loading (an image that never arrives, a long poll) holds up nobody and
    // refills nothing: the windows around it are filled once and keep the user's edits.
    void aLoadingWindowBlocksNothing() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        f.addEntry("https://c.example/", loginFields("carol"));
        FakeWindow& before = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& loading = f.browser.addWindow(kUrl, loginForms());
        loading.reload(false);
        FakeWindow& after = f.browser.addWindow("https://c.example/", loginForms());

        f.automation.tick();
        QCOMPARE(before.element(0, 0).value, "alice");
        QCOMPARE(after.element(0, 0).value, "carol");
        before.element(0, 0).value = "typed";
        for (int tick = 0; tick < 5; ++tick)
            f.automation.tick();
        QCOMPARE(before.element(0, 0).value, "typed");
        QCOMPARE(before.roundTrips, 1);
        QCOMPARE(after.roundTrips, 1);
        QCOMPARE(loading.roundTrips, 0);

        loading.isBusy = false;  // it finally loads: filled once, the others stay as they are
        f.automation.tick();
        f.automation.tick();
        QCOMPARE(loading.element(0, 0).value, "alice");
        QCOMPARE(loading.roundTrips, 1);
        QCOMPARE(before.element(0, 0).value, "typed");
    }

    // Each window that matches an entry is filled once, also when two windows show one site, or
    // when a stored address is a prefix of another window's address.
    void windowsOfOneEntryAreEachFilledOnce_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("two tabs of one page") << kUrl << kUrl << kUrl;
        QTest::newRow("a prefix of both") << "https://site.example/?tab=1"
                                          << "https://site.example/?tab=1"
                                          << "https://site.example/?tab=10";
    }
    void windowsOfOneEntryAreEachFilledOnce() {
        QFETCH(QString, stored);
        QFETCH(QString, first);
        QFETCH(QString, second);
        AutomationFixture f;
        f.addEntry(stored, loginFields());
        FakeWindow& a = f.browser.addWindow(first, loginForms());
        FakeWindow& b = f.browser.addWindow(second, loginForms());
        f.automation.tick();
        a.element(0, 0).value = "edited a";
        b.element(0, 0).value = "edited b";
        for (int tick = 0; tick < 3; ++tick)
            f.automation.tick();
        QCOMPARE(a.roundTrips, 1);
        QCOMPARE(b.roundTrips, 1);
        QCOMPARE(a.element(0, 0).value, "edited a");
        QCOMPARE(b.element(0, 0).value, "edited b");
        QVERIFY(filled(f, 0, a) && filled(f, 0, b));

        // A load in one window refills that window alone.
        b.reload();
        f.automation.tick();
        QCOMPARE(b.element(0, 0).value, "alice");
        QCOMPARE(a.element(0, 0).value, "edited a");
    }

    // A window that goes away leaves every marker; its number is never seen again.
    // Every window's write goes out before the first answer is awaited; the answers are taken in
    // window order, and a window that fails (here a closed one) costs the others nothing.
    void writesGoOutAtOnce() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& a = f.browser.addWindow(kUrl, loginForms(), QStringLiteral("A"));
        FakeWindow& b = f.browser.addWindow(kUrl, loginForms(), QStringLiteral("B"));
        FakeWindow& c = f.browser.addWindow(kUrl, loginForms(), QStringLiteral("C"));
        b.closed = true;
        const AutomationReport report = f.automation.tick();
        QCOMPARE(*f.browser.pageCalls,
                 QStringList({"send write A", "send write B", "send write C", "take write A",
                              "take write B", "take write C"}));
        QVERIFY(filled(f, 0, a));
        QVERIFY(!filled(f, 0, b));
        QVERIFY(filled(f, 0, c));
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{0, 462}}));
        QCOMPARE(report.writes.size(), 2);
        QCOMPARE(report.writes.last().window, 2);
    }

    void closedWindowLeavesTheMarkers() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        QVERIFY(filled(f, 0, w));
        f.browser.closeWindow(w);
        f.automation.tick();
        QVERIFY(f.state.siteTable.at(0).filledWindows.empty());
    }

    // Loads that happen while logged out are not lost: after the next log-in the window is
    // filled again; a window that did not load keeps the user's values.
    void loadsWhileLoggedOutAreSeenAfterwards() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& reloaded = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& kept = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        kept.element(0, 0).value = "typed";
        f.state.loggedIn = false;
        reloaded.reload();
        f.automation.tick();
        QCOMPARE(reloaded.element(0, 0).value, "");
        QCOMPARE(f.browser.listings, 1);  // a logged-out tick does not even list the windows

        f.state.loggedIn = true;
        f.automation.tick();
        QCOMPARE(reloaded.element(0, 0).value, "alice");
        QCOMPARE(kept.element(0, 0).value, "typed");
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
        if (alreadyFilled)
            e.filledWindows.insert(w.windowId());
        f.automation.tick();
        QCOMPARE(f.browser.pageRoundTrips(), 0);
        QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(filled(f, 0, w), alreadyFilled);
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
                                               << "https://site.example/"
                                               << " ";
    }
    void keywordAndCase() {
        QFETCH(QString, location);
        QFETCH(QString, url);
        QFETCH(QString, keyword);
        AutomationFixture f;
        f.addEntry(url, loginFields(), keyword);
        FakeWindow& w = f.browser.addWindow(location, loginForms());
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "alice");
        QVERIFY(filled(f, 0, w));
    }

    // The tick prepares each entry's address once; an edit of the address or the keyword (or
    // another entry in its place) is matched from the next tick on, the old one no longer.
    void editedAddressIsMatchedAtOnce() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        const QString elsewhere = QStringLiteral("https://elsewhere.example/login");
        FakeWindow& first = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        QCOMPARE(first.roundTrips, 1);

        f.state.siteTable.at(0).url = elsewhere;
        FakeWindow& second = f.browser.addWindow(elsewhere, loginForms());
        first.reload();
        f.automation.tick();
        QCOMPARE(second.element(0, 0).value, "alice");
        QCOMPARE(first.roundTrips, 1);

        f.state.siteTable.at(0).urlKeyword = QStringLiteral("nowhere");
        second.reload();
        f.automation.tick();
        QCOMPARE(second.roundTrips, 1);
    }

    void entriesShareOneWrite() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields("first"));
        f.addEntry("https://other.example/", loginFields("other"));
        f.addEntry("site.example", {field(0, 0, "text", "user", "second")});
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        // One write with both matching entries' edits, in entry order: the later one wins.
        QCOMPARE(w.writeCalls.size(), 1);
        QCOMPARE(w.writeCalls[0].size(), 4);
        QCOMPARE(w.observedUrls, QStringList{kUrl});
        QCOMPARE(w.element(0, 0).value, "second");
        QCOMPARE(w.element(0, 1).value, "secret");
        QVERIFY(filled(f, 0, w));
        QVERIFY(!filled(f, 1, w));
        QVERIFY(filled(f, 2, w));
    }

    void renamedElementIsSkipped() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        w.element(0, 0).name = "User";  // names compare exactly
        f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(w.element(0, 1).value, "secret");
        QVERIFY(w.element(0, 2).checked);
        QVERIFY(filled(f, 0, w));
    }

    void entryWithoutFieldsIsMarked() {
        AutomationFixture f;
        f.addEntry(kUrl);
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        QVERIFY(filled(f, 0, w));
        f.automation.tick();
        QCOMPARE(w.roundTrips, 1);
    }

    // Entries before the failure are filled and marked; the failing one stays unmarked, the
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
            .filledWindows.insert(3);
        f.addEntry(kUrl, {field(0, 0, "text", "user", "three")});
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        if (failure == "short page")
            w.forms[0].removeLast();
        else if (failure == "refuses")
            w.element(0, 2).writeFailure = number;
        else
            w.closed = true;

        f.automation.tick();
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{0, number}}));
        const bool reached = failure != "closed";
        QCOMPARE(filled(f, 0, w), reached);
        QVERIFY(!filled(f, 1, w));
        QVERIFY(f.state.siteTable.at(1).filledWindows.contains(3));
        QVERIFY(!filled(f, 2, w));
        QCOMPARE(w.element(0, 1).value, reached ? "one" : "");
        QCOMPARE(w.element(0, 0).value, reached ? "two" : "");  // written before the failure
        if (failure != "short page")
            QVERIFY(!w.element(0, 2).checked);

        FakeWindow& next = f.browser.addWindow(kUrl, loginForms());
        f.automation.tick();
        QCOMPARE(f.log.lines.size(), 2);
        QCOMPARE(next.element(0, 0).value, "three");
        QVERIFY(next.element(0, 2).checked);
        QVERIFY(filled(f, 2, next));
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
        f.addEntry(kUrl, loginFields()).filledWindows.insert(9);
        FakeWindow& w = f.browser.addWindow(kUrl, hasForms ? loginForms() : QList<FakeForm>{});
        w.isBusy = busy;
        f.automation.tick();
        QVERIFY(!filled(f, 0, w));
        QVERIFY(f.state.siteTable.at(0).filledWindows.contains(9));
        if (hasForms)
            QCOMPARE(w.element(0, 0).value, "");
        QCOMPARE(w.roundTrips, roundTrips);
        QVERIFY(f.log.lines.isEmpty());
    }

    void windowListFailureEndsTheTick() {
        AutomationFixture f;
        f.browser.windowsFailure = 462;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        AutomationReport report = f.automation.tick();
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{1, 462}}));
        QCOMPARE(report.error, std::optional<int>(462));
        QCOMPARE(w.roundTrips, 0);

        f.browser.windowsFailure = 0;  // the next tick starts afresh
        report = f.automation.tick();
        QCOMPARE(w.element(0, 0).value, "alice");
        QCOMPARE(report.writes.size(), 1);
        QVERIFY(!report.error);
    }
};

QTEST_GUILESS_MAIN(AutoFillTest)
#include "tst_autofill.moc"
