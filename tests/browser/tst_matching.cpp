// The one matching rule of the fills: containment ignoring case, plus the same-origin guard.
#include "browser/Automation.h"

#include <QTest>

using namespace sirano;

class MatchingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void urlMatches_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("matches");
        const QString bank = "https://bank.example/login";
        QTest::newRow("same page") << bank << bank << true;
        QTest::newRow("longer address") << "https://bank.example/login?next=%2F" << bank << true;
        QTest::newRow("case ignored") << "HTTPS://BANK.Example/LOGIN" << bank << true;
        QTest::newRow("not contained") << "https://bank.example/home" << bank << false;
        QTest::newRow("empty location") << "" << bank << false;
        QTest::newRow("other origin mentions it")
            << "https://evil.example/?next=https://bank.example/login" << bank << false;
        QTest::newRow("host that only begins alike") << "https://bank.example.evil.example/login"
                                                     << "https://bank.example" << false;
        QTest::newRow("user info before another host") << "https://bank.example@evil.example/login"
                                                       << "https://bank.example" << false;
        QTest::newRow("other port") << "http://127.0.0.1:8081/x?u=http://127.0.0.1:8080/login"
                                    << "http://127.0.0.1:8080/login" << false;
        QTest::newRow("same port") << "http://127.0.0.1:8080/login?a=1"
                                   << "http://127.0.0.1:8080/login" << true;
        QTest::newRow("explicit default port") << "https://bank.example:443/login"
                                               << "https://bank.example:443/login" << true;
        QTest::newRow("stored scheme and host in capitals") << "https://bank.example/login"
                                                            << "HTTPS://BANK.EXAMPLE/login" << true;
        // Addresses that are not absolute http(s) keep the plain rule.
        QTest::newRow("partial address") << "https://evil.example/?bank.example/login"
                                         << "bank.example/login" << true;
        QTest::newRow("scheme alone") << "https://anything.example/"
                                      << "https://" << true;
        QTest::newRow("empty stored address") << "http://a.example/"
                                              << "" << true;
        QTest::newRow("empty stored, empty location") << ""
                                                      << "" << false;
        QTest::newRow("local file") << "file:///home/u/login.html"
                                    << "file:///home/u/login.html" << true;
    }
    void urlMatches() {
        QFETCH(QString, location);
        QFETCH(QString, stored);
        QFETCH(bool, matches);
        QCOMPARE(sirano::urlMatches(location, stored), matches);
    }

    void keywordMatches_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<bool>("matches");
        QTest::newRow("no keyword") << "https://a.example/"
                                    << "" << true;
        QTest::newRow("lower-case keyword, capitals in address") << "https://a.example/LOGIN"
                                                                 << "login" << true;
        QTest::newRow("capitals in keyword") << "https://a.example/login"
                                             << "LOGIN" << true;
        QTest::newRow("absent") << "https://a.example/home"
                                << "login" << false;
        QTest::newRow("one blank is a condition") << "https://a.example/login"
                                                  << " " << false;
        QTest::newRow("one blank present") << "https://a.example/a b"
                                           << " " << true;
    }
    void keywordMatches() {
        QFETCH(QString, location);
        QFETCH(QString, keyword);
        QFETCH(bool, matches);
        QCOMPARE(sirano::keywordMatches(location, keyword), matches);
    }
};

QTEST_GUILESS_MAIN(MatchingTest)
#include "tst_matching.moc"
