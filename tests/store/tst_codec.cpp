// The generator's fixed vectors, the CP932 table and the stored-text codec.
#include "store/Codec.h"
#include "store/Cp932.h"
#include "store/Error.h"
#include "store/Generator.h"
#include "support/Errors.h"

#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <functional>
#include <string>

using namespace sirano;
using sirano::test::errorNumber;

namespace {

// Undoes the scrambling of a stored text by hand: the code text, first character's digits first.
QString codeTextOf(const QString& stored) {
    const int k = stored[0].digitValue();
    Generator g;
    g.reset(-1.0f);
    g.reseed(k);
    QString reversed;
    for (qsizetype j = 1; j < stored.size(); ++j) {
        const int d = QStringLiteral("0123456789ABCDEF").indexOf(stored[j]);
        const int r = static_cast<int>(static_cast<double>(g.draw()) * 16.0);
        reversed.append(QStringLiteral("0123456789ABCDEF")[(d + 16 - r) % 16]);
    }
    std::reverse(reversed.begin(), reversed.end());
    return reversed;
}

// A generator whose next encoding uses seed digit k.
Generator generatorWithSeedDigit(int k) {
    Generator g;
    for (;;) {
        Generator probe = g;
        if (static_cast<int>(static_cast<double>(probe.draw()) * 10.0) == k)
            return g;
        g.draw();
    }
}

}  // namespace

class CodecTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void generatorVectors() {
        Generator g;
        for (double expected : {0.7055475115776062, 0.5334240198135376, 0.5795186161994934,
                                0.2895624637603760, 0.3019480109214780})
            QCOMPARE(static_cast<double>(g.draw()), expected);

        QCOMPARE(static_cast<double>(g.reset(-1.0f)), 0.2240070104598999);
        QCOMPARE(g.state(), 0x395886u);

        const auto printed = [](Generator& gen, int n) {
            QStringList out;
            for (int i = 0; i < n; ++i)
                out << QString::number(static_cast<double>(gen.draw()), 'g', 7);
            return out.join(u' ');
        };
        g.reset(-10.0f);
        g.reseed(10);
        QCOMPARE(printed(g, 3), QStringLiteral("0.2077829 0.4407803 0.6152623"));
        g.reset(-1.0f);
        g.reseed(1);
        QCOMPARE(printed(g, 5),
                 QStringLiteral("0.3335753 0.06816387 0.5938293 0.7660395 0.1892894"));
    }

    void keystreams_data() {
        QTest::addColumn<int>("k");
        QTest::addColumn<uint>("state");
        QTest::addColumn<QString>("keystream");
        QTest::newRow("0") << 0 << 0x000086u << "5 5 1 8 2 15 4 11 4 7 1 5";
        QTest::newRow("1") << 1 << 0x3FF086u << "5 1 9 12 3 8 5 6 1 13 13 13";
        QTest::newRow("2") << 2 << 0x400086u << "9 9 5 12 6 3 8 15 8 11 5 9";
        QTest::newRow("3") << 3 << 0x400886u << "11 13 11 4 15 0 2 12 3 3 1 15";
        QTest::newRow("4") << 4 << 0x401086u << "13 1 1 12 9 14 12 9 15 10 13 5";
        QTest::newRow("5") << 5 << 0x401486u << "14 11 12 0 13 13 9 7 5 6 3 8";
        QTest::newRow("6") << 6 << 0x401886u << "15 5 7 5 2 11 5 6 10 1 9 11";
        QTest::newRow("7") << 7 << 0x401C86u << "0 15 2 9 7 10 2 4 0 13 15 14";
        QTest::newRow("8") << 8 << 0x402086u << "1 9 13 13 12 9 15 3 6 9 5 1";
        QTest::newRow("9") << 9 << 0x402286u << "9 6 2 7 14 0 14 10 9 7 8 2";
    }
    void keystreams() {
        QFETCH(int, k);
        QFETCH(uint, state);
        QFETCH(QString, keystream);
        Generator g;
        g.draw();  // the state before the reset must not matter
        g.reset(-1.0f);
        g.reseed(k);
        QCOMPARE(g.state(), state);
        QStringList drawn;
        for (int i = 0; i < 12; ++i)
            drawn << QString::number(static_cast<int>(static_cast<double>(g.draw()) * 16.0));
        QCOMPARE(drawn.join(u' '), keystream);
    }

    void workedExample() {
        Generator g = generatorWithSeedDigit(0);
        QCOMPARE(encodeText(g, QStringLiteral("A")), QStringLiteral("069"));
        // Left after the reset, the re-seed with 0 and one draw per code digit.
        Generator expected;
        expected.reset(-1.0f);
        expected.reseed(0);
        expected.draw();
        expected.draw();
        QCOMPARE(g.state(), expected.state());
        QCOMPARE(decodeText(g, QStringLiteral("069")), QStringLiteral("A"));
    }

    void cp932Table() {
        // glibc's CP932: these map one way, and 0x5C is the backslash.
        QCOMPARE(cp932::encodeChar(U'\u301C'), QByteArray("\x81\x60"));
        QCOMPARE(cp932::encodeChar(U'\u2016'), QByteArray("\x81\x61"));
        QCOMPARE(cp932::encodeChar(U'\u2212'), QByteArray("\x81\x7C"));
        QCOMPARE(cp932::encodeChar(U'\u00A5'), QByteArray("\x5C"));
        QCOMPARE(cp932::encodeChar(U'\\'), QByteArray("\x5C"));
        QCOMPARE(cp932::encodeChar(U'\u65E5'), QByteArray("\x93\xFA"));
        QCOMPARE(cp932::encodeChar(U'\uFF71'), QByteArray("\xB1"));
        QCOMPARE(cp932::encodeChar(U'\u00E9'), std::nullopt);
        QCOMPARE(cp932::encodeChar(U'\U0001F600'), std::nullopt);
        QCOMPARE(cp932::decode("\x5C\x7E"), QStringLiteral("\\~"));
        QCOMPARE(cp932::decode("\x81\x60\x81\x61\x81\x7C"), QStringLiteral("\uFF5E\u2225\uFF0D"));
        QCOMPARE(cp932::decode("\xB1\xDF"), QStringLiteral("\uFF71\uFF9F"));
        QCOMPARE(cp932::decode("\xF0\x40"), QStringLiteral("\uE000"));  // user-defined area
        // Unassigned bytes, a lead byte at the end, a lead byte before a non-trail byte.
        QCOMPARE(cp932::decode("\x80"
                               "a\xA0\xFD"),
                 QStringLiteral("\uFFFDa\uFFFD\uFFFD"));
        QCOMPARE(cp932::decode("a\x81"), QStringLiteral("a\uFFFD"));
        QCOMPARE(cp932::decode("\x81 b"), QStringLiteral("\uFFFD b"));

        QCOMPARE(cp932::exactCode(U'\\'), uint16_t{0x5C});
        QCOMPARE(cp932::exactCode(U'\uFF5E'), uint16_t{0x8160});
        QCOMPARE(cp932::exactCode(U'\u301C'), std::nullopt);
        QCOMPARE(cp932::exactCode(U'\u00A5'), std::nullopt);
        QVERIFY(cp932::fits(QStringLiteral("ログイン｜銀行 Log-in ｱｲｳ \\ ～")));
        QVERIFY(!cp932::fits(QStringLiteral("caf\u00E9")));
        QVERIFY(!cp932::fits(QStringLiteral("wave \u301C")));
        QCOMPARE(cp932::encode(QStringLiteral("A日")), QByteArray("A\x93\xFA"));
        QCOMPARE(cp932::encode(QStringLiteral("\u20AC")), std::nullopt);
    }

    void codeText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("codeText");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("ascii") << "Ab1"
                               << "416231";
        QTest::newRow("double-byte") << "日本"
                                     << "93FA967B";
        QTest::newRow("backslash") << "\\"
                                   << "5C";
        QTest::newRow("full-width tilde") << "\uFF5E"
                                          << "8160";
        QTest::newRow("code below 0x10") << "\x01\t"
                                         << "0109";
        QTest::newRow("half-width katakana") << "\uFF71"
                                             << "B1";
        QTest::newRow("e acute") << "\u00E9"
                                 << "FD0000E9";
        QTest::newRow("euro") << "\u20AC"
                              << "FD0020AC";
        QTest::newRow("emoji") << "\U0001F600"
                               << "FD01F600";
        QTest::newRow("wave dash") << "\u301C"
                                   << "FD00301C";
        QTest::newRow("yen") << "\u00A5"
                             << "FD0000A5";
    }
    void codeText() {
        QFETCH(QString, text);
        QFETCH(QString, codeText);
        Generator g;
        const QString stored = encodeText(g, text);
        QCOMPARE(codeTextOf(stored), codeText);
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("printable ascii") << " !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~";
        QTest::newRow("japanese") << "ログイン用パスワード｜銀行";
        QTest::newRow("mixed") << "user名123ユーザー";
        QTest::newRow("codes below 0x10") << QStringLiteral("a\x01\x0F\tb\r\nc") + QChar(0);
        QTest::newRow("del") << "\x7F";
        QTest::newRow("half-width katakana") << "ｱｲｳｴｵﾞﾟ｡";
        QTest::newRow("outside cp932") << "café € \U0001F600 Ωμ";
        QTest::newRow("one-way cp932") << "〜‖−¥\\～∥－";
        QTest::newRow("user-defined area") << "\uE000\uE757";
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + u'x';
    }
    void roundTrip() {
        QFETCH(QString, text);
        for (int k = 0; k < 10; ++k) {
            Generator g = generatorWithSeedDigit(k);
            const QString stored = encodeText(g, text);
            QCOMPARE(stored[0], QChar(u'0' + k));
            QVERIFY(
                QRegularExpression(QStringLiteral("^[0-9][0-9A-F]*$")).match(stored).hasMatch());
            g.draw();  // decoding must not depend on the generator's state
            QCOMPARE(decodeText(g, stored), text);
        }
    }

    void longTextLeavesTheGeneratorWhereDrawsWould() {
        // 3000 code digits: past any shortcut for the start of the keystreams.
        const QString text = QString(750, QChar(u'\u65E5'));
        Generator g = generatorWithSeedDigit(6);
        const QString stored = encodeText(g, text);
        QCOMPARE(codeTextOf(stored), QStringLiteral("93FA").repeated(750));
        Generator expected;
        expected.reset(-1.0f);
        expected.reseed(6);
        for (int i = 0; i < 3000; ++i)
            expected.draw();
        QCOMPARE(g.state(), expected.state());
        QCOMPARE(decodeText(g, stored), text);
        QCOMPARE(g.state(), expected.state());
    }

    // The data file's writer encodes Latin-1 texts from where they are kept; its stored text, and
    // the generator after it, are those of the same text encoded as any other.
    void latin1TextsEncodeAsAnyOther() {
        const QByteArray texts[] = {"",
                                    "a",
                                    "pass\"word,\r\n\x01\x0F\x10\x7F",
                                    QByteArray(511, 'x'),
                                    QByteArray(512, 'y'),
                                    QByteArray(513, 'z'),
                                    "caf\xE9 \xA5\xB1\xD7"};
        Generator general = generatorWithSeedDigit(2);
        Generator latin1 = general;
        for (const QByteArray& text : texts) {
            const QLatin1StringView view(text);
            const QString expected = encodeText(general, QString(view));
            std::string out(static_cast<size_t>(maxEncodedLength(view)), '\0');
            const qsizetype length = encodeTextTo(latin1, view, out.data());
            QCOMPARE(QString::fromLatin1(out.data(), length), expected);
            QCOMPARE(latin1.state(), general.state());
            QCOMPARE(decodeText(general, expected), QString(view));
        }
    }

    // The load's shortcut for ASCII texts reads what the general decoding reads, and leaves the
    // generator where it does; it declines every other stored text (which the general decoding
    // then reads).
    void asciiDecodingAsAnyOther() {
        Generator g = generatorWithSeedDigit(7);
        struct Case {
            QByteArray stored;
            bool ascii;
        };
        std::vector<Case> cases;
        for (const QString& text :
             {QString(), QStringLiteral("a"), QStringLiteral("\\~\x01\x7F\"x"), QString(512, u'q')})
            cases.push_back({encodeText(g, text).toLatin1(), true});
        for (const QString& text :
             {QString(513, u'q'), QStringLiteral("café"), QStringLiteral("日本"),
              QStringLiteral("ｱ"), QStringLiteral("x😀")})
            cases.push_back({encodeText(g, text).toLatin1(), false});
        // Not written by the codec: an odd digit, digits that are no hexadecimal, no seed digit.
        for (const char* stored : {"3ABC", "5zz", "x1234", "9"})
            cases.push_back({stored, QByteArray(stored) != "3ABC"});
        for (const Case& c : cases) {
            Generator general = g;
            Generator shortcut = g;
            const QString expected = decodeTextBytes(general, c.stored);
            QByteArray out;
            const bool took = decodeAsciiTextBytes(shortcut, c.stored, out);
            const bool asciiResult = std::all_of(expected.begin(), expected.end(),
                                                 [](QChar ch) { return ch.unicode() < 0x80; });
            QCOMPARE(took, c.ascii && asciiResult);
            if (took) {
                QCOMPARE(QString::fromLatin1(out), expected);
                QCOMPARE(shortcut.state(), general.state());
            }
        }
    }

    void storedLength() {
        // m printable ASCII characters and n double-byte ones: 1 + 2m + 4n.
        Generator g;
        QCOMPARE(encodeText(g, QStringLiteral("abc日本")).size(), 1 + 2 * 3 + 4 * 2);
        QCOMPARE(encodeText(g, QString()).size(), 1);
    }

    void sameSeedSameText() {
        const QString text = QStringLiteral("password");
        Generator a = generatorWithSeedDigit(3);
        const QString first = encodeText(a, text);
        for (int i = 0; i < 50; ++i)
            encodeText(a, QStringLiteral("other"));
        Generator b = generatorWithSeedDigit(3);
        QCOMPARE(encodeText(b, text), first);
        Generator c = generatorWithSeedDigit(4);
        QVERIFY(encodeText(c, text).mid(1) != first.mid(1));
    }

    void oddStoredTexts_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("text");
        QTest::newRow("seed digit alone") << "7"
                                          << "";
        QTest::newRow("non-digit seed counts as 0") << "X69"
                                                    << "A";
        QTest::newRow("odd length drops the last code digit") << "0565"
                                                              << "A";
        QTest::newRow("non-hex digits count as 0") << "0ZZ"
                                                   << "\uFF7B";  // code "BB"
        QTest::newRow("lead byte cut short") << "08E2C"
                                             << "A\uFFFD";
    }
    void oddStoredTexts() {
        QFETCH(QString, stored);
        QFETCH(QString, text);
        Generator g;
        QCOMPARE(decodeText(g, stored), text);
    }

    void garbageDecodesWithoutFailing() {
        // Every two-digit start, cut at every length: decoding never fails, never makes up more
        // characters than the digits hold (every character takes at least two), and gives the
        // same text however the generator was left.
        Generator g;
        for (int k = 0; k < 10; ++k) {
            for (int v = 0; v < 256; v += 7) {
                QString stored = QString::number(k) +
                                 QStringLiteral("%1").arg(v, 2, 16, QChar(u'0')).toUpper() +
                                 QStringLiteral("FFFFFFFFFFFF");
                for (qsizetype n = 1; n <= stored.size(); ++n) {
                    const QString text = decodeText(g, stored.left(n));
                    QVERIFY2(text.size() <= (n - 1) / 2, qPrintable(stored.left(n)));
                    encodeText(g, QStringLiteral("stir"));
                    QCOMPARE(decodeText(g, stored.left(n)), text);
                }
            }
        }
    }

    void emptyStoredTextFails() {
        Generator g;
        QCOMPARE(errorNumber([&] { decodeText(g, QString()); }), err::kInvalidArgument);
    }
};

QTEST_GUILESS_MAIN(CodecTest)
#include "tst_codec.moc"
