// "記憶": which windows and elements become entries, the bounds, and what a failure leaves.
#include "FakeBrowser.h"

#include <QTest>

using namespace sirano;
using namespace sirano::test;

Q_DECLARE_METATYPE(sirano::test::FakeElement)

namespace {
const QString kUrl = QStringLiteral("https://site.example/login");

QList<FakeForm> filledLoginForms() {
    return {{FakeElement::text("user", "alice"), FakeElement::password("pw", "secret")}};
}

QList<FakeForm> formsWithFields(int n) {
    FakeForm form;
    for (int i = 0; i < n; ++i)
        form.append(FakeElement::text(QStringLiteral("f%1").arg(i), QStringLiteral("v%1").arg(i)));
    return {form};
}
}  // namespace

class CaptureTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loggedOutDoesNothing() {
        AutomationFixture f;
        f.state.loggedIn = false;
        f.browser.addWindow(kUrl, filledLoginForms());
        f.automation.capture();
        QCOMPARE(f.browser.listings, 0);
        QCOMPARE(f.browser.pageRoundTrips(), 0);
        QCOMPARE(f.state.siteTable.siteCount(), 0);
        QVERIFY(f.actions.calls.isEmpty());
    }

    void windowEligibility_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("hasForms");
        QTest::addColumn<bool>("captured");
        QTest::addColumn<int>("roundTrips");
        QTest::newRow("idle web page") << false << "http://site.example/" << true << true << 1;
        QTest::newRow("secure web page") << false << kUrl << true << true << 1;
        QTest::newRow("loading") << true << kUrl << true << false << 0;
        QTest::newRow("no form") << false << kUrl << false << false << 1;
        QTest::newRow("scheme in capitals")
            << false << "HTTP://site.example/" << true << false << 0;
        QTest::newRow("local file") << false << "file:///tmp/login.html" << true << false << 0;
        QTest::newRow("blank page") << false << "about:blank" << true << false << 0;
        QTest::newRow("file transfer") << false << "ftp://site.example/" << true << false << 0;
        QTest::newRow("no address") << false << "" << true << false << 0;
    }
    void windowEligibility() {
        QFETCH(bool, busy);
        QFETCH(QString, location);
        QFETCH(bool, hasForms);
        QFETCH(bool, captured);
        QFETCH(int, roundTrips);
        AutomationFixture f;
        f.browser.addWindow(location, hasForms ? filledLoginForms() : QList<FakeForm>{}).isBusy =
            busy;
        f.automation.capture();
        QCOMPARE(f.state.siteTable.siteCount(), captured ? 1 : 0);
        QCOMPARE(f.browser.pageRoundTrips(), roundTrips);
        // Saved and the menu rebuilt when something was captured; else the file stays as it is.
        QCOMPARE(f.actions.calls, captured ? QStringList({"save", "menu"}) : QStringList());
        QVERIFY(f.log.lines.isEmpty());
    }

    void elementEligibility_data() {
        QTest::addColumn<FakeElement>("element");
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<QString>("storedValue");
        const auto in = [](const char* type, const char* value) {
            return FakeElement::of("INPUT", type, "n", value);
        };
        QTest::newRow("text with value") << in("text", "alice") << true << "alice";
        QTest::newRow("empty text") << in("text", "") << false << "";
        QTest::newRow("blanks only") << in("text", "  ") << true << "  ";
        QTest::newRow("password") << in("password", "pw") << true << "pw";
        QTest::newRow("type in capitals") << in("TEXT", "x") << true << "x";
        QTest::newRow("email") << in("email", "a@b") << true << "a@b";
        QTest::newRow("image") << in("image", "go") << true << "go";
        QTest::newRow("reset") << in("reset", "Reset") << true << "Reset";
        QTest::newRow("hidden") << in("hidden", "token") << false << "";
        QTest::newRow("radio") << in("radio", "a") << false << "";
        QTest::newRow("submit") << in("submit", "Log in") << false << "";
        QTest::newRow("button") << in("Button", "b") << false << "";
        QTest::newRow("checkbox off") << FakeElement::checkbox("c", false) << true << "False";
        QTest::newRow("checkbox on") << FakeElement::checkbox("c", true) << true << "True";
        QTest::newRow("checkbox with empty value")
            << FakeElement{"input", "CheckBox", "c", "", true} << true << "True";
        QTest::newRow("lower-case tag")
            << FakeElement::of("input", "text", "n", "x") << true << "x";
        QTest::newRow("select") << FakeElement::of("SELECT", "select-one", "n", "x") << false << "";
        QTest::newRow("text area")
            << FakeElement::of("TEXTAREA", "textarea", "n", "x") << false << "";
        QTest::newRow("button tag") << FakeElement::of("BUTTON", "submit", "n", "x") << false << "";
    }
    void elementEligibility() {
        QFETCH(FakeElement, element);
        QFETCH(bool, recorded);
        QFETCH(QString, storedValue);
        AutomationFixture f;
        // A hidden element first, so the stored position shows that it was counted.
        f.browser.addWindow(kUrl, {{FakeElement::of("INPUT", "hidden", "h", "x"), element}});
        f.automation.capture();
        QCOMPARE(f.state.siteTable.siteCount(), recorded ? 1 : 0);
        if (recorded) {
            const SiteEntry& e = f.state.siteTable.at(0);
            QCOMPARE(e.fieldCount(), 1);
            QCOMPARE(e.field(0), SiteField({0, 1, element.type, element.name, storedValue}));
        }
    }

    void loginPage() {
        AutomationFixture f;
        // The free slot still holds a keyword, a marker and stale fields: the new entry starts
        // clean, or the keyword would keep the automatic fill away from it.
        SiteEntry& slot = f.state.siteTable.at(0);
        slot.urlKeyword = "left over";
        slot.filledWindows.insert(77);
        for (int j = 0; j < 5; ++j)
            slot.setField(j, field(9, 9, "text", "stale", "stale"));

        FakeWindow& w = f.browser.addWindow(
            "https://site.example/login#top",
            {{FakeElement::text("q")},
             {FakeElement::text("user", "alice"), FakeElement::password("pw", "secret"),
              FakeElement::checkbox("remember"), FakeElement::of("INPUT", "submit", "", "Go")}},
            "Log in");
        w.documentUrl = "https://site.example/login";
        f.automation.capture();

        QCOMPARE(f.state.siteTable.siteCount(), 1);
        const SiteEntry& e = f.state.siteTable.at(0);
        QCOMPARE(e.title, "Log in");
        QCOMPARE(e.url, "https://site.example/login");
        QCOMPARE(e.urlKeyword, "");
        QVERIFY(e.filledWindows.empty());
        QCOMPARE(e.fields(),
                 std::vector<SiteField>({field(1, 0, "text", "user", "alice"),
                                         field(1, 1, "password", "pw", "secret"),
                                         field(1, 2, "checkbox", "remember", "False")}));
        QCOMPARE(f.browser.pageRoundTrips(), 1);
    }

    void everyEligibleWindowInOrder() {
        AutomationFixture f;
        f.addEntry("https://old.example/");
        f.browser.addWindow(kUrl, {{FakeElement::hidden()}}, "Nothing to keep");
        f.browser.addWindow(kUrl, filledLoginForms(), "First");
        f.browser.addWindow("about:blank", filledLoginForms(), "Blank");
        f.browser.addWindow(kUrl, filledLoginForms(), "First");
        f.browser.addWindow("http://other.example/", formsWithFields(1), "Second");
        const SiteEntry before = f.state.siteTable.at(0);
        const AutomationReport report = f.automation.capture();

        QCOMPARE(f.state.siteTable.siteCount(), 4);
        QCOMPARE(report.windowsRead, 4);  // about:blank is not read
        QCOMPARE(report.sitesAdded, 3);
        QVERIFY(!report.error);
        QCOMPARE(f.state.siteTable.at(0), before);
        QCOMPARE(f.state.siteTable.at(1).title, "First");
        QCOMPARE(f.state.siteTable.at(2).title, "First");
        QCOMPARE(f.state.siteTable.at(3).title, "Second");
        QCOMPARE(f.state.siteTable.at(3).fieldCount(), 1);
        QCOMPARE(f.actions.calls, QStringList({"save", "menu"}));
    }

    void fieldBound_data() {
        QTest::addColumn<int>("fields");
        QTest::addColumn<bool>("captured");
        QTest::newRow("101 fields") << 101 << true;
        QTest::newRow("102 fields") << 102 << false;
    }
    void fieldBound() {
        QFETCH(int, fields);
        QFETCH(bool, captured);
        AutomationFixture f;
        f.browser.addWindow("http://first.example/", formsWithFields(1), "First");
        f.browser.addWindow(kUrl, formsWithFields(fields), "Big");
        f.browser.addWindow("http://third.example/", formsWithFields(1), "Third");
        f.automation.capture();

        if (captured) {
            QCOMPARE(f.state.siteTable.siteCount(), 3);
            QCOMPARE(f.state.siteTable.at(1).fieldCount(), 101);
            QCOMPARE(f.state.siteTable.at(1).field(100).fieldValue, "v100");
            QVERIFY(f.log.lines.isEmpty());
        } else {
            // The capture ends at the failure: the earlier window's entry stays counted, unsaved.
            QCOMPARE(f.state.siteTable.siteCount(), 1);
            QCOMPARE(f.state.siteTable.at(0).title, "First");
            QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{3, 9}}));
            QVERIFY(f.actions.calls.isEmpty());
            // Its read went out with the others; its answer was never taken.
            QCOMPARE(*f.browser.pageCalls, QStringList({"send First", "send Big", "send Third",
                                                        "take First", "take Big"}));
        }
    }

    // All reads go out before the first answer is awaited, the answers are taken in window order,
    // and a failing window ends the capture where reading one window after the other would: the
    // entries before it stay, nothing after it is used, nothing is saved.
    void readsAtOnceEndWhereOneByOneWould_data() {
        QTest::addColumn<int>("failing");  // the window whose read fails; -1: none
        QTest::addColumn<int>("number");
        QTest::newRow("none") << -1 << 0;
        QTest::newRow("first, closed") << 0 << 462;
        QTest::newRow("third, no forms collection") << 2 << 91;
        QTest::newRow("last, closed") << 3 << 462;
    }
    void readsAtOnceEndWhereOneByOneWould() {
        QFETCH(int, failing);
        QFETCH(int, number);
        AutomationFixture f;
        const QStringList titles{"A", "B", "C", "D"};
        for (const QString& title : titles)
            f.browser.addWindow(kUrl, filledLoginForms(), title);
        f.browser.addWindow(kUrl, filledLoginForms(), "busy").isBusy = true;
        if (failing == 0 || failing == 3)
            f.browser.window(failing).closed = true;
        else if (failing >= 0)
            f.browser.window(failing).readFailure = number;
        f.automation.capture();

        const int taken = failing < 0 ? 4 : failing + 1;
        QStringList expected;
        for (const QString& title : titles)
            expected << "send " + title;
        for (int i = 0; i < taken; ++i)
            expected << "take " + titles[i];
        QCOMPARE(*f.browser.pageCalls, expected);
        QCOMPARE(f.browser.pageRoundTrips(), 4);  // the busy window is not read
        const int kept = failing < 0 ? 4 : failing;
        QCOMPARE(f.state.siteTable.siteCount(), kept);
        for (int i = 0; i < kept; ++i)
            QCOMPARE(f.state.siteTable.at(i).title, titles[i]);
        if (failing < 0) {
            QVERIFY(f.log.lines.isEmpty());
            QCOMPARE(f.actions.calls, QStringList({"save", "menu"}));
        } else {
            QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{3, number}}));
            QVERIFY(f.actions.calls.isEmpty());
        }
    }

    void tableBound_data() {
        QTest::addColumn<int>("siteCount");
        QTest::addColumn<int>("added");
        QTest::newRow("one slot left, two pages") << 1000 << 1;
        QTest::newRow("table full") << 1001 << 0;
    }
    void tableBound() {
        QFETCH(int, siteCount);
        QFETCH(int, added);
        AutomationFixture f;
        f.state.siteTable.setSiteCount(siteCount);
        f.browser.addWindow(kUrl, filledLoginForms(), "A");
        f.browser.addWindow(kUrl, filledLoginForms(), "B");
        f.automation.capture();
        QCOMPARE(f.state.siteTable.siteCount(), siteCount + added);
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{3, 9}}));
        QVERIFY(f.actions.calls.isEmpty());
        if (added)
            QCOMPARE(f.state.siteTable.at(1000).title, "A");
    }

    void positionBeyond16Bits() {
        AutomationFixture f;
        FakeForm form(32768, FakeElement::text("empty"));
        form.append(FakeElement::text("far", "x"));
        f.browser.addWindow(kUrl, {form});
        f.automation.capture();
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{3, 6}}));
        QCOMPARE(f.state.siteTable.siteCount(), 0);
    }

    void failuresAreLoggedUnsaved_data() {
        QTest::addColumn<int>("windowsFailure");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<int>("readFailure");
        QTest::addColumn<int>("saveFailure");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<int>("number");
        QTest::newRow("window list") << 462 << false << 0 << 0 << QStringList() << 462;
        QTest::newRow("window closed") << 0 << true << 0 << 0 << QStringList() << 462;
        QTest::newRow("no forms collection") << 0 << false << 91 << 0 << QStringList() << 91;
        QTest::newRow("save") << 0 << false << 0 << 75 << QStringList({"save"}) << 75;
    }
    void failuresAreLoggedUnsaved() {
        QFETCH(int, windowsFailure);
        QFETCH(bool, closed);
        QFETCH(int, readFailure);
        QFETCH(int, saveFailure);
        QFETCH(QStringList, calls);
        QFETCH(int, number);
        AutomationFixture f;
        f.browser.windowsFailure = windowsFailure;
        f.actions.saveFailure = saveFailure;
        f.browser.addWindow(kUrl, filledLoginForms());
        FakeWindow& w = f.browser.addWindow(kUrl, filledLoginForms());
        w.closed = closed;
        w.readFailure = readFailure;
        f.automation.capture();
        QCOMPARE(f.log.lines, (QList<QPair<int, int>>{{3, number}}));
        QCOMPARE(f.actions.calls, calls);
    }
};

QTEST_GUILESS_MAIN(CaptureTest)
#include "tst_capture.moc"
