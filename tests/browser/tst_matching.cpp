// The one matching rule of the fills: which pages a stored address (and keyword) may fill.
#include "browser/Matching.h"

#include <QTest>

using namespace sirano;

class MatchingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void urlMatches_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("matches");

        // {empty, shortened, absolute} stored address × {own site, subdomain, a hostile origin
        // that carries the address in its path, query or fragment}.
        const QString own = "https://bank.example/login?x=1";
        const QString sub = "https://www.bank.example/login?x=1";
        const QString inPath = "https://evil.example/bank.example/login";
        const QString inQuery = "https://evil.example/?next=bank.example/login";
        const QString inFragment = "https://evil.example/#bank.example/login";
        const QString absInQuery = "https://evil.example/?next=https://bank.example/login";
        const QString absInFragment = "https://evil.example/#https://bank.example/login";
        const struct {
            const char* stored;
            QString value;
            bool own, sub, hostile;
        } kinds[] = {
            {"empty", "", false, false, false},
            {"shortened", "bank.example/login", true, true, false},
            {"absolute", "https://bank.example/login", true, false, false},
        };
        for (const auto& k : kinds) {
            const auto row = [&](const char* page) -> QTestData& {
                return QTest::addRow("%s, %s", k.stored, page);
            };
            row("own site") << own << k.value << k.own;
            row("subdomain") << sub << k.value << k.sub;
            row("hostile path") << inPath << k.value << k.hostile;
            row("hostile query") << inQuery << k.value << k.hostile;
            row("hostile fragment") << inFragment << k.value << k.hostile;
            row("hostile query, absolute") << absInQuery << k.value << k.hostile;
            row("hostile fragment, absolute") << absInFragment << k.value << k.hostile;
        }

        // Shortened addresses: anchored at the start of the host or after one of its dots, and
        // covering the host to its end.
        const QString shortened = "bank.example/login";
        // A stored Unicode host matches the ASCII (IDNA) form the browser shows, either way round;
        // another host still does not.
        const QString ace = "https://xn--bnk-qla.example/login?x=1";
        QTest::newRow("Unicode host, absolute") << ace << "https://bänk.example/login" << true;
        QTest::newRow("Unicode host, shortened") << ace << "bänk.example/login" << true;
        QTest::newRow("Unicode host, capitals") << ace << "https://BÄNK.example/login" << true;
        QTest::newRow("ASCII stored, Unicode shown") << "https://bänk.example/login"
                                                     << "https://xn--bnk-qla.example/login" << true;
        QTest::newRow("Unicode host, other site")
            << "https://xn--bnk-qla.example.evil.example/login"
            << "bänk.example" << false;
        QTest::newRow("Unicode host, carried in the query")
            << "https://evil.example/?next=https://xn--bnk-qla.example/login"
            << "https://bänk.example/login" << false;
        QTest::newRow("shortened, case ignored")
            << "HTTPS://WWW.BANK.EXAMPLE/LOGIN" << shortened << true;
        QTest::newRow("shortened, host that only ends alike")
            << "https://mybank.example/login" << shortened << false;
        QTest::newRow("shortened host, longer host begins alike")
            << "https://bank.example.evil.example/login"
            << "bank.example" << false;
        QTest::newRow("shortened, in the user name") << "https://bank.example@evil.example/"
                                                     << "bank.example" << false;
        QTest::newRow("shortened, user name before the own host")
            << "https://user@www.bank.example/login" << shortened << true;
        QTest::newRow("shortened host alone") << own << "bank.example" << true;
        QTest::newRow("shortened with port") << "http://localhost:8080/login?a=1"
                                             << "localhost:8080/login" << true;
        QTest::newRow("shortened with port, other port") << "http://localhost:8081/login"
                                                         << "localhost:8080/login" << false;
        QTest::newRow("shortened path alone") << own << "/login" << false;
        QTest::newRow("shortened, page without host")
            << "about:blank#bank.example/login" << shortened << false;
        QTest::newRow("shortened, IPv6 host") << "http://[::1]:8080/login"
                                              << "[::1]:8080/login" << true;

        // Absolute addresses: the same origin, and the address contained.
        const QString bank = "https://bank.example/login";
        QTest::newRow("longer address") << "https://bank.example/login?next=%2F" << bank << true;
        QTest::newRow("case ignored") << "HTTPS://BANK.Example/LOGIN" << bank << true;
        QTest::newRow("not contained") << "https://bank.example/home" << bank << false;
        QTest::newRow("empty location") << "" << bank << false;
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
        QTest::newRow("scheme alone") << "https://anything.example/"
                                      << "https://" << false;
        QTest::newRow("empty stored, empty location") << ""
                                                      << "" << false;
        // Other schemes: the page's address begins with the stored one.
        QTest::newRow("local file") << "file:///home/u/login.html"
                                    << "file:///home/u/login.html" << true;
        QTest::newRow("local file, mentioned elsewhere")
            << "https://evil.example/?f=file:///home/u/login.html"
            << "file:///home/u/login.html" << false;
    }
    void urlMatches() {
        QFETCH(QString, location);
        QFETCH(QString, stored);
        QFETCH(bool, matches);
        QCOMPARE(sirano::urlMatches(location, stored), matches);
    }

    void openableAddress_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("opened");
        QTest::newRow("absolute") << "https://bank.example/login"
                                  << "https://bank.example/login";
        QTest::newRow("shortened") << "bank.example/login"
                                   << "http://bank.example/login";
        QTest::newRow("host and port") << "localhost:8080/login"
                                       << "http://localhost:8080/login";
        QTest::newRow("scheme in the query") << "bank.example/?next=https://x.example/"
                                             << "http://bank.example/?next=https://x.example/";
        QTest::newRow("local file") << "file:///home/u/a.html"
                                    << "file:///home/u/a.html";
        QTest::newRow("empty") << ""
                               << "";
    }
    void openableAddress() {
        QFETCH(QString, stored);
        QFETCH(QString, opened);
        QCOMPARE(sirano::openableAddress(stored), opened);
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
