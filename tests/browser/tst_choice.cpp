// Which browser the tray works with: the user's own (through the extension) while one answers,
// else SIRANO's own Chromium, decided afresh at every call.
#include "FakeBrowser.h"
#include "browser/BrowserChoice.h"

#include <QtTest>

using namespace sirano;
using namespace sirano::test;

class TestBrowserChoice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsWhicheverAnswersNow() {
        auto users = std::make_unique<FakeBrowser>();
        auto own = std::make_unique<FakeBrowser>();
        FakeBrowser& u = *users;
        FakeBrowser& o = *own;
        u.addWindow(QStringLiteral("http://users.test/"));
        o.addWindow(QStringLiteral("http://own.test/"));
        BrowserChoice choice(std::move(users), std::move(own));

        struct Step {
            bool usersAnswers;
            bool ownAnswers;
            QString listed;
            bool answers;
        };
        const Step steps[] = {
            {true, true, QStringLiteral("http://users.test/"), true},
            {false, true, QStringLiteral("http://own.test/"), true},
            {false, false, QStringLiteral("http://own.test/"), false},
            {true, false, QStringLiteral("http://users.test/"), true},
        };
        for (const Step& s : steps) {
            u.running = s.usersAnswers;
            o.running = s.ownAnswers;
            QCOMPARE(choice.windows().first()->locationUrl(), s.listed);
            QCOMPARE(choice.answers(), s.answers);
        }

        u.running = true;
        choice.openInNewBrowser(QStringLiteral("http://a.test/"));
        u.running = false;
        choice.startNewBrowser(QStringLiteral("http://b.test/"), [](const auto&) {});
        QCOMPARE(u.openedInNewBrowser, QStringList{QStringLiteral("http://a.test/")});
        QCOMPARE(o.openedInNewBrowser, QStringList{QStringLiteral("http://b.test/")});

        choice.forgetWrites();  // a log-out reaches both
        QCOMPARE(u.forgetCalls, 1);
        QCOMPARE(o.forgetCalls, 1);
    }
};

QTEST_GUILESS_MAIN(TestBrowserChoice)
#include "tst_choice.moc"
