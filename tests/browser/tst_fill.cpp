// A site menu item: fill every idle matching window, else open the address.
#include "FakeBrowser.h"

#include <QTest>

using namespace sirano;
using namespace sirano::test;

namespace {
const QString kUrl = QStringLiteral("https://site.example/login");

QList<SiteField> loginFields() {
    return {field(0, 0, "text", "user", "alice"), field(0, 1, "password", "pw", "secret"),
            field(0, 2, "checkbox", "keep", "True")};
}

bool filled(FakeWindow& w) {
    return w.element(0, 0).value == "alice" && w.element(0, 1).value == "secret" &&
           w.element(0, 2).checked;
}
}  // namespace

class FillTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyIdleMatchingWindow() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields()).filledWindows.insert(5);
        FakeWindow& a = f.browser.addWindow(kUrl + "?from=menu", loginForms());
        FakeWindow& other = f.browser.addWindow("https://other.example/", loginForms());
        FakeWindow& b = f.browser.addWindow("HTTPS://SITE.EXAMPLE/LOGIN", loginForms());
        const AutomationReport report = f.automation.fillSite(0);
        QCOMPARE(report.writes.size(), 2);
        QCOMPARE(report.writes[0].window, 0);
        QCOMPARE(report.writes[1].window, 2);
        QCOMPARE(report.writes[1].address, "HTTPS://SITE.EXAMPLE/LOGIN");
        QCOMPARE(report.writes[1].result.applied, 3);
        QVERIFY(report.openedInBackground.isEmpty() && !report.error);

        QVERIFY(filled(a));
        QVERIFY(filled(b));
        QVERIFY(!filled(other));
        // One write per matching window, none for the others; the marker is not the menu's.
        QCOMPARE(a.roundTrips, 1);
        QCOMPARE(b.roundTrips, 1);
        QCOMPARE(other.roundTrips, 0);
        // Each write names the address it was matched against, which the page checks.
        QCOMPARE(a.observedUrls, QStringList{kUrl + "?from=menu"});
        QCOMPARE(b.observedUrls, QStringList{"HTTPS://SITE.EXAMPLE/LOGIN"});
        QVERIFY(f.state.siteTable.at(0).filledWindows.contains(5));
        QVERIFY(!f.state.siteTable.at(0).filledWindows.contains(a.windowId()));
        QVERIFY(a.openedInBackground.isEmpty());
        QVERIFY(f.browser.openedInNewBrowser.isEmpty());
        QVERIFY(f.log.lines.isEmpty());
        QVERIFY(f.actions.calls.isEmpty());
    }

    // When no text value was written, the first window (whatever it shows) opens the address.
    void opensWhenNothingWasWritten_data() {
        QTest::addColumn<QList<SiteField>>("fields");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("hasForms");
        QTest::addColumn<bool>("valuesWritten");
        QTest::addColumn<bool>("tickWritten");
        QTest::addColumn<bool>("opened");
        QTest::newRow("filled") << loginFields() << false << true << true << true << false;
        QTest::newRow("matching window loading")
            << loginFields() << true << true << false << false << true;
        QTest::newRow("matching page without forms")
            << loginFields() << false << false << false << false << true;
        QTest::newRow("check boxes only")
            << QList<SiteField>{field(0, 2, "checkbox", "keep", "True")} << false << true << false
            << true << true;
        QTest::newRow("no fields") << QList<SiteField>{} << false << true << false << false << true;
    }
    void opensWhenNothingWasWritten() {
        QFETCH(QList<SiteField>, fields);
        QFETCH(bool, busy);
        QFETCH(bool, hasForms);
        QFETCH(bool, valuesWritten);
        QFETCH(bool, tickWritten);
        QFETCH(bool, opened);
        AutomationFixture f;
        f.addEntry(kUrl, fields);
        FakeWindow& first = f.browser.addWindow("about:blank");
        first.isBusy = true;
        FakeWindow& w = f.browser.addWindow(kUrl, hasForms ? loginForms() : QList<FakeForm>{});
        w.isBusy = busy;
        f.automation.fillSite(0);

        if (hasForms) {
            QCOMPARE(w.element(0, 0).value == "alice", valuesWritten);
            QCOMPARE(w.element(0, 2).checked, tickWritten);
        }
        QCOMPARE(first.openedInBackground, opened ? QStringList{kUrl} : QStringList{});
        QVERIFY(w.openedInBackground.isEmpty());
        QVERIFY(f.browser.openedInNewBrowser.isEmpty());
        QVERIFY(f.log.lines.isEmpty());
    }

    void noWindowStartsABrowser() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        AutomationReport report = f.automation.fillSite(0);
        QCOMPARE(f.browser.openedInNewBrowser, QStringList{kUrl});
        QCOMPARE(report.openedInNewBrowser, QStringList{kUrl});

        f.browser.startFailure = err::kCannotCreateObject;
        report = f.automation.fillSite(0);
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{2, 429}}));
        QVERIFY(report.openedInNewBrowser.isEmpty());
        QCOMPARE(report.error, std::optional<int>(429));
    }

    // A browser that answers its start later (the tray's): the fill returns at once, and a
    // browser that never came is logged then, as the waiting start's failure is.
    void browserStartedInTheBackground() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        f.browser.answersLater = true;
        const AutomationReport report = f.automation.fillSite(0);
        QCOMPARE(report.openedInNewBrowser, QStringList{kUrl});
        QVERIFY(!report.error);
        QVERIFY(f.log.lines.isEmpty());
        f.browser.laterAnswer(SiranoError(err::kCannotCreateObject, QStringLiteral("no browser")));
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{2, 429}}));
        f.automation.fillSite(0);
        f.browser.laterAnswer(std::nullopt);
        QCOMPARE(f.log.lines.size(), 1);
    }

    void checkboxRules_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("text");
        QTest::newRow("True ticks") << "checkbox"
                                    << "True" << true << "";
        QTest::newRow("False clears") << "checkbox"
                                      << "False" << false << "";
        QTest::newRow("lower-case true clears") << "checkbox"
                                                << "true" << false << "";
        QTest::newRow("type in mixed case") << "CheckBox"
                                            << "True" << true << "";
        // Not a check box by its stored type: the value is written, whatever the page holds.
        QTest::newRow("stored as text") << "text"
                                        << "True" << true << "True";
    }
    void checkboxRules() {
        QFETCH(QString, type);
        QFETCH(QString, value);
        QFETCH(bool, checked);
        QFETCH(QString, text);
        AutomationFixture f;
        f.addEntry(kUrl, {field(0, 2, type, "keep", value)});
        FakeWindow& w = f.browser.addWindow(kUrl, loginForms());
        w.element(0, 2).checked = !checked || !text.isEmpty();
        w.element(0, 2).value.clear();
        f.automation.fillSite(0);
        QCOMPARE(w.element(0, 2).checked, checked);
        QCOMPARE(w.element(0, 2).value, text);
    }

    // An entry whose address was emptied would otherwise put its password into any page.
    void emptyAddressFillsAndOpensNothing() {
        AutomationFixture f;
        f.addEntry("", loginFields());
        FakeWindow& a = f.browser.addWindow("http://a.example/", loginForms());
        FakeWindow& b = f.browser.addWindow("file:///tmp/b.html", loginForms());
        f.automation.fillSite(0);
        QVERIFY(!filled(a));
        QVERIFY(!filled(b));
        QCOMPARE(f.browser.pageRoundTrips(), 0);
        QVERIFY(a.openedInBackground.isEmpty());
        f.browser.closeWindow(a);
        f.browser.closeWindow(b);
        f.automation.fillSite(0);
        QVERIFY(f.browser.openedInNewBrowser.isEmpty());
        QVERIFY(f.log.lines.isEmpty());
    }

    void otherOriginIsNeverFilled() {
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& evil = f.browser.addWindow("https://evil.example/?next=" + kUrl, loginForms());
        f.automation.fillSite(0);
        QVERIFY(!filled(evil));
        QCOMPARE(evil.roundTrips, 0);
        QCOMPARE(evil.openedInBackground, QStringList{kUrl});
    }

    // A window that fails keeps the values from no other matching window; what was written stays,
    // nothing is opened, one line is logged.
    void failureMidWrite_data() {
        QTest::addColumn<int>("failAt");     // element of the second window that refuses, or -1
        QTest::addColumn<int>("formIndex");  // stored form of the password field
        QTest::addColumn<bool>("closed");    // the second window is gone
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("firstFilled");
        QTest::addColumn<QString>("secondUser");
        QTest::addColumn<bool>("thirdFilled");
        QTest::newRow("element refuses") << 1 << 0 << false << 438 << true << "alice" << true;
        // Every window fails there; the first failure is the one logged.
        QTest::newRow("form position past the end")
            << -1 << 3 << false << 91 << false << "alice" << false;
        QTest::newRow("window closed") << -1 << 0 << true << 462 << true << "" << true;
    }
    void failureMidWrite() {
        QFETCH(int, failAt);
        QFETCH(int, formIndex);
        QFETCH(bool, closed);
        QFETCH(int, number);
        QFETCH(bool, firstFilled);
        QFETCH(QString, secondUser);
        QFETCH(bool, thirdFilled);
        AutomationFixture f;
        f.addEntry(kUrl, {field(0, 0, "text", "user", "alice"),
                          field(formIndex, 1, "password", "pw", "secret"),
                          field(0, 2, "checkbox", "keep", "True")});
        FakeWindow& first = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& second = f.browser.addWindow(kUrl, loginForms());
        FakeWindow& third = f.browser.addWindow(kUrl, loginForms());
        second.closed = closed;
        if (failAt >= 0)
            second.element(0, failAt).writeFailure = number;
        const AutomationReport report = f.automation.fillSite(0);

        // All three were sent before any answer was awaited.
        QCOMPARE(f.browser.pageCalls->mid(0, 3), QStringList(3, "send write Page"));
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{2, number}}));
        QCOMPARE(report.error, std::optional<int>(number));
        QCOMPARE(filled(first), firstFilled);
        QCOMPARE(first.element(0, 0).value, "alice");  // written before any failure
        QCOMPARE(second.element(0, 0).value, secondUser);
        QCOMPARE(second.element(0, 1).value, "");
        QVERIFY(!second.element(0, 2).checked);
        QCOMPARE(filled(third), thirdFilled);
        QCOMPARE(report.writes.last().window, 2);
        QCOMPARE(!report.writes.last().result.failure, thirdFilled);
        QVERIFY(first.openedInBackground.isEmpty());
    }

    void indexOutsideTheEntries_data() {
        QTest::addColumn<int>("index");
        QTest::newRow("free slot") << 1;
        QTest::newRow("past the table") << 1001;
        QTest::newRow("negative") << -1;
    }
    void indexOutsideTheEntries() {
        QFETCH(int, index);
        AutomationFixture f;
        f.addEntry(kUrl, loginFields());
        FakeWindow& w = f.browser.addWindow("about:blank");
        f.automation.fillSite(static_cast<int16_t>(index));
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{2, 9}}));
        QVERIFY(w.openedInBackground.isEmpty());
    }
};

QTEST_GUILESS_MAIN(FillTest)
#include "tst_fill.moc"
