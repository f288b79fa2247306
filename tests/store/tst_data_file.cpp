// Parsing and writing "SIRANO.DAT": the exact bytes, round trips, and every kind of damaged file.
#include "store/Codec.h"
#include "store/DataFile.h"
#include "store/StoreJson.h"
#include "support/Entries.h"
#include "support/StoreFiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano;
using namespace sirano::test;

Q_DECLARE_METATYPE(sirano::StoreContents)

namespace {

const QString kStoreFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return f.readAll();
}

StoreContents fromJsonFile(const QString& path) {
    return storeFromJson(QJsonDocument::fromJson(readAll(path)).object());
}

StoreContents contents(const QString& password, int login, int minutes,
                       const std::vector<SiteEntry>& entries) {
    StoreContents c;
    c.settings.masterPassword = password;
    c.settings.autoLoginAtStart = static_cast<int16_t>(login);
    c.settings.autoLogoutMinutes = static_cast<int16_t>(minutes);
    for (const SiteEntry& e : entries)
        c.siteTable.append(e);
    return c;
}

void compareContents(const StoreContents& actual, const StoreContents& expected) {
    QCOMPARE(actual.settings, expected.settings);
    QCOMPARE(actual.siteTable.siteCount(), expected.siteTable.siteCount());
    for (int i = 0; i < expected.siteTable.siteCount(); ++i)
        QVERIFY2(actual.siteTable.at(i) == expected.siteTable.at(i),
                 qPrintable(QString::number(i)));
}

// The header of a file, decoded: the settings as the file holds them.
QString decodedHeader(const QByteArray& bytes) {
    const qsizetype start = bytes.indexOf('"') + 1;
    Generator g;
    return decodeText(g, QString::fromLatin1(bytes.mid(start, bytes.indexOf('"', start) - start)));
}

QByteArray serialize(const StoreContents& c) {
    Generator g;
    return serializeDataFile(c.siteTable, c.settings, g);
}

// The English left in a text meant to be Japanese: words of two or more ASCII letters, once the
// parts that may stay as they are (a value from the file, the system's error) are taken out.
QStringList englishWords(QString text, const QStringList& asGiven) {
    for (const QString& part : asGiven)
        text.remove(part);
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    QStringList words;
    for (auto it = word.globalMatch(text); it.hasNext();)
        words << it.next().captured();
    return words;
}

StoreContents parse(const QByteArray& bytes) {
    Generator g;
    return parseDataFile(bytes, g, QStringLiteral("test.dat"));
}

}  // namespace

class DataFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bytesOfTheBaseFormat_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("mixed entries") << "mixed";
        QTest::newRow("empty table") << "empty-table";
    }
    void bytesOfTheBaseFormat() {
        // The fixtures were written by an independent implementation from a fresh generator.
        QFETCH(QString, name);
        const QByteArray bytes = readAll(kStoreFixtures + name + QStringLiteral(".dat"));
        const StoreContents expected =
            fromJsonFile(kStoreFixtures + name + QStringLiteral(".json"));
        compareContents(parse(bytes), expected);
        QCOMPARE(serialize(expected), bytes);
    }

    void emptyTableIsTheHeaderLine() {
        const QByteArray bytes = serialize(contents(QString(), 0, 5, {}));
        QCOMPARE(bytes.count("\r\n"), 1);
        QVERIFY(bytes.endsWith("\"\r\n"));
        QCOMPARE(decodedHeader(bytes), QStringLiteral("Blank Passphrase!0005"));
        QCOMPARE(parse(bytes).siteTable.siteCount(), 0);
    }

    void roundTrip_data() {
        QTest::addColumn<StoreContents>("stored");
        QTest::addColumn<QString>("passwordBack");
        const SiteEntry plain = entry(
            QStringLiteral("Log in, please"), QStringLiteral("https://a.example/?x=1,2"), QString(),
            {field(0, 1, QStringLiteral("text"), QStringLiteral("user"), QStringLiteral("bob"))});
        QTest::newRow("no password") << contents(QString(), 0, 0, {plain}) << "";
        QTest::newRow("password and settings")
            << contents(QStringLiteral("secret"), 1, 5, {plain}) << "secret";
        QTest::newRow("password is the marker")
            << contents(QStringLiteral("Blank Passphrase!"), 0, 10, {}) << "";
        QTest::newRow("password ending in digits")
            << contents(QStringLiteral("pass1234"), 9, 999, {}) << "pass1234";
        QTest::newRow("password of digits") << contents(QStringLiteral("0000"), 0, 0, {}) << "0000";
        QTest::newRow("password with emoji and quote")
            << contents(QStringLiteral("p\"w\U0001F511"), 1, 0, {}) << "p\"w\U0001F511";
        QTest::newRow("japanese")
            << contents(QStringLiteral("暗証"), 0, 30,
                        {entry(QStringLiteral("ログイン｜銀行"), QStringLiteral("https://例え.jp/"),
                               QStringLiteral("ログイン"),
                               {field(2, 3, QStringLiteral("Password"), QStringLiteral("暗証番号"),
                                      QStringLiteral("ﾊﾟｽﾜｰﾄﾞ～"))})})
            << "暗証";
        QTest::newRow("field count 0 and empty values")
            << contents(QStringLiteral("x"), 0, 1,
                        {entry(QString(), QString(), QString(), {}),
                         entry(QStringLiteral("t"), QStringLiteral("u"), QStringLiteral("k"),
                               {field(0, 0, QString(), QString(), QString()),
                                field(-1, 32767, QStringLiteral("checkbox"), QStringLiteral("c"),
                                      QStringLiteral("True"))})})
            << "x";
        QTest::newRow("quotes and line ends")
            << contents(
                   QString(), 0, 0,
                   {entry(QStringLiteral("Say \"hi\""), QStringLiteral("\"\""),
                          QStringLiteral("a\r\nb\nc\rd"),
                          {field(0, 0, QStringLiteral("te\"xt"), QStringLiteral("line\r\nend,"),
                                 QStringLiteral("v\"al\r\nue"))})})
            << "";
        QTest::newRow("outside cp932")
            << contents(QStringLiteral("€"), 0, 0,
                        {entry(QStringLiteral("Café \U0001F600"),
                               QStringLiteral("https://x.example/〜user"), QString(),
                               {field(0, 0, QStringLiteral("text"), QStringLiteral("naïve"),
                                      QStringLiteral("¥100"))})})
            << "€";
        std::vector<SiteField> many;
        for (int j = 0; j < kFieldColumns; ++j)
            many.push_back(field(j / 10, j, QStringLiteral("text"), QStringLiteral("f%1").arg(j),
                                 QStringLiteral("value %1").arg(j)));
        QTest::newRow("101 fields")
            << contents(QStringLiteral("p"), 0, 0,
                        {entry(QStringLiteral("m"), QStringLiteral("u"), QString(), many)})
            << "p";
    }
    void roundTrip() {
        QFETCH(StoreContents, stored);
        QFETCH(QString, passwordBack);
        StoreContents expected = stored;
        expected.settings.masterPassword = passwordBack;
        compareContents(parse(serialize(stored)), expected);
    }

    void encodingOfTheFile_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QByteArray>("expectedLine");
        QTest::newRow("cp932") << "日本 \\ ～"
                               << QByteArray(
                                      "\"\x93\xfa\x96\x7b \x5c \x81\x60\",0,\"u\",\"\",0\r\n");
        QTest::newRow("doubled quote") << "a\"b" << QByteArray("\"a\"\"b\",0,\"u\",\"\",0\r\n");
        QTest::newRow("raw line end") << "a\r\nb" << QByteArray("\"a\r\nb\",0,\"u\",\"\",0\r\n");
        QTest::newRow("utf-8 for e acute") << "é" << QByteArray("\"\xc3\xa9\",0,\"u\",\"\",0\r\n");
        QTest::newRow("utf-8 for wave dash")
            << "〜" << QByteArray("\"\xe3\x80\x9c\",0,\"u\",\"\",0\r\n");
    }
    void encodingOfTheFile() {
        QFETCH(QString, title);
        QFETCH(QByteArray, expectedLine);
        const QByteArray bytes = serialize(
            contents(QString(), 0, 0, {entry(title, QStringLiteral("u"), QString(), {})}));
        const bool utf8 = QByteArray(QTest::currentDataTag()).startsWith("utf-8");
        QCOMPARE(bytes.startsWith("\xEF\xBB\xBF"), utf8);
        QVERIFY2(bytes.endsWith(expectedLine), bytes.constData());
        QCOMPARE(parse(bytes).siteTable.at(0).title, title);
    }

    // The file is CP932 only when every plain text of every entry fits; a text that does not,
    // however late, makes the whole file UTF-8.
    void encodingDecidedByEveryText_data() {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("utf8");
        QTest::newRow("latin-1 name") << ""
                                      << "text"
                                      << "naïve" << true;
        QTest::newRow("japanese type and name") << ""
                                                << "テキスト"
                                                << "名前" << false;
        QTest::newRow("wave dash keyword") << "〜"
                                           << "text"
                                           << "n" << true;
        QTest::newRow("quote in a name") << ""
                                         << "text"
                                         << "a\"b" << false;
        QTest::newRow("emoji name") << ""
                                    << "text"
                                    << "\U0001F600" << true;
    }
    void encodingDecidedByEveryText() {
        QFETCH(QString, keyword);
        QFETCH(QString, type);
        QFETCH(QString, name);
        QFETCH(bool, utf8);
        const StoreContents stored = contents(
            QStringLiteral("pw"), 0, 0,
            {entry(QStringLiteral("first"), QStringLiteral("u"), QString(),
                   {field(0, 0, QStringLiteral("text"), QStringLiteral("user"),
                          QStringLiteral("v"))}),
             entry(
                 QStringLiteral("second"), QStringLiteral("u"), keyword,
                 {field(0, 0, QStringLiteral("text"), QStringLiteral("user"), QStringLiteral("v")),
                  field(0, 1, type, name, QStringLiteral("w"))})});
        const QByteArray bytes = serialize(stored);
        QCOMPARE(bytes.startsWith("\xEF\xBB\xBF"), utf8);
        StoreContents expected = stored;
        compareContents(parse(bytes), expected);
    }

    void readingTolerance_data() {
        // Spellings an independent writer or a hand edit may use; all mean the same entry.
        QTest::addColumn<QByteArray>("entryLine");
        QTest::newRow("wrong trailing index")
            << QByteArray("\"t\",1,\"u\",\"\",0,2,\"text\",\"n\",\"%V\",77\r\n");
        QTest::newRow("empty keyword without quotes")
            << QByteArray("\"t\",1,\"u\",,0,2,\"text\",\"n\",\"%V\",0\r\n");
        QTest::newRow("no final line end")
            << QByteArray("\"t\",1,\"u\",\"\",0,2,\"text\",\"n\",\"%V\",0");
        QTest::newRow("bare line feeds")
            << QByteArray("\"t\",1,\"u\",\"\",0,2,\"text\",\"n\",\"%V\",0\n");
        QTest::newRow("values across lines")
            << QByteArray("\"t\",1,\"u\",\"\"\r\n0,2,\"text\",\"n\",\"%V\"\r\n0\r\n");
        QTest::newRow("blanks around numbers")
            << QByteArray("\"t\", 1 ,\"u\",\"\", 0,2 ,\"text\",\"n\",\"%V\",0\r\n");
        QTest::newRow("quoted number")
            << QByteArray("\"t\",\"1\",\"u\",\"\",0,2,\"text\",\"n\",\"%V\",0\r\n");
    }
    void readingTolerance() {
        QFETCH(QByteArray, entryLine);
        Generator g;
        const QByteArray value = encodeText(g, QStringLiteral("v")).toLatin1();
        const QByteArray header =
            '"' + encodeText(g, QStringLiteral("Blank Passphrase!0005")).toLatin1() + "\"\r\n";
        const StoreContents c = parse(header + entryLine.replace("%V", value));
        QCOMPARE(c.siteTable.siteCount(), 1);
        QVERIFY(c.siteTable.at(0) == entry(QStringLiteral("t"), QStringLiteral("u"), QString(),
                                           {field(0, 2, QStringLiteral("text"), QStringLiteral("n"),
                                                  QStringLiteral("v"))}));
        QCOMPARE(c.settings.autoLogoutMinutes, int16_t{5});
    }

    void settingsThatDoNotFitAreNotWritten_data() {
        QTest::addColumn<int>("login");
        QTest::addColumn<int>("minutes");
        QTest::newRow("minutes 1000") << 0 << 1000;
        QTest::newRow("negative minutes") << 0 << -1;
        QTest::newRow("log-in flag 10") << 10 << 0;
        QTest::newRow("negative log-in flag") << -1 << 0;
    }
    void settingsThatDoNotFitAreNotWritten() {
        QFETCH(int, login);
        QFETCH(int, minutes);
        const StoreContents c = contents(QString(), login, minutes, {});
        try {
            serialize(c);
            QFAIL("no error");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kSubscriptOutOfRange);
        }
    }

    void damagedFiles_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("reason");
        QTest::newRow("0 bytes") << "zero-bytes.dat" << err::kInputPastEnd << 1 << 0
                                 << "the file is empty";
        QTest::newRow("cut inside the header")
            << "header-only-cut.dat" << err::kInputPastEnd << 1 << 1 << "never closed";
        QTest::newRow("cut inside an entry")
            << "cut-inside-entry.dat" << err::kInputPastEnd << 2 << 8
            << "the file ends where the name of field 0 of entry 0 should follow";
        QTest::newRow("extra empty line")
            << "extra-empty-line.dat" << err::kInputPastEnd << 4 << 1
            << "the file ends where the field count of entry 1 should follow";
        QTest::newRow("field count not a number")
            << "field-count-not-a-number.dat" << err::kTypeMismatch << 2 << 2
            << "the field count of entry 0 \"x\" is not a whole number";
        QTest::newRow("form position not a number")
            << "form-index-not-a-number.dat" << err::kTypeMismatch << 2 << 5
            << "the form position of field 0 of entry 0 \"1a\" is not a whole number";
        QTest::newRow("number too large")
            << "number-overflow.dat" << err::kOverflow << 2 << 5 << "outside -32768 to 32767";
        QTest::newRow("102 fields")
            << "too-many-fields.dat" << err::kSubscriptOutOfRange << 2 << 2
            << "the field count of entry 0 is 102; an entry holds 0 to 101 fields";
        QTest::newRow("negative field count")
            << "negative-field-count.dat" << err::kSubscriptOutOfRange << 2 << 2 << "is -1";
        QTest::newRow("header too short") << "short-header.dat" << err::kInvalidArgument << 1 << 1
                                          << "the header decodes to 3 characters";
        QTest::newRow("empty header")
            << "empty-header.dat" << err::kInvalidArgument << 1 << 1 << "the header is empty";
        QTest::newRow("empty stored value")
            << "empty-stored-value.dat" << err::kInvalidArgument << 2 << 9
            << "the stored value of field 0 of entry 0 is empty";
        QTest::newRow("unclosed quote")
            << "unclosed-quote.dat" << err::kInputPastEnd << 3 << 1 << "never closed";
        QTest::newRow("text after a quote")
            << "text-after-quote.dat" << err::kBadFileFormat << 2 << 1 << "followed by \"tle\"";
        QTest::newRow("minutes out of range") << "minutes-out-of-range.dat" << err::kBadFileFormat
                                              << 1 << 1 << "minutes in the header, \"-12\"";
    }
    void damagedFiles() {
        QFETCH(QString, file);
        QFETCH(int, number);
        QFETCH(int, line);
        QFETCH(int, position);
        QFETCH(QString, reason);
        const QString path = kStoreFixtures + QStringLiteral("bad/") + file;
        const QByteArray before = readAll(path);

        TestStore state;
        state.settings.masterPassword = QStringLiteral("kept");
        state.siteTable.append(entry(QStringLiteral("kept"), QString(), QString(), {}));
        try {
            loadStore(state, path);
            QFAIL("the damaged file loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), number);
            QCOMPARE(e.file(), path);
            QCOMPARE(e.line(), line);
            QCOMPARE(e.position(), position);
            QVERIFY2(e.reasonText(Language::English).contains(reason),
                     qPrintable(e.reasonText(Language::English)));
            QVERIFY2(e.message().contains(path), qPrintable(e.message()));
            QVERIFY2(e.message().contains(QStringLiteral("line %1").arg(line)),
                     qPrintable(e.message()));
            // The tray program shows the same reason in Japanese, the file's value as it is.
            const QString japanese = e.reasonText(Language::Japanese);
            QVERIFY2(englishWords(japanese, {e.reason().text}).isEmpty(), qPrintable(japanese));
        }
        QCOMPARE(state.settings.masterPassword, QStringLiteral("kept"));
        QCOMPARE(state.siteTable.siteCount(), int16_t{1});
        QCOMPARE(state.siteTable.at(0).title, QStringLiteral("kept"));
        QCOMPARE(readAll(path), before);
    }

    void cutAndCorruptedFilesFailCleanly() {
        // Every cut and many single-byte changes of a good file: a load or a LoadError, nothing
        // else.
        const QByteArray good = readAll(kStoreFixtures + QStringLiteral("mixed.dat"));
        // What loads is a store like any other: written again, it reads back the same.
        const auto loadsOrRefuses = [](const QByteArray& bytes) {
            StoreContents loaded;
            try {
                loaded = parse(bytes);
            } catch (const LoadError&) {
                return;
            }
            compareContents(parse(serialize(loaded)), loaded);
        };
        int refusedCuts = 0;
        for (qsizetype n = 0; n < good.size(); ++n) {
            try {
                const StoreContents c = parse(good.left(n));
                // Only a cut at the end of an entry's last value loads.
                QVERIFY2(good.left(n).endsWith("\r\n") || good.at(n) == '\r' || good.at(n) == '\n',
                         qPrintable(QString::number(n)));
                QVERIFY(c.siteTable.siteCount() <= 3);
            } catch (const LoadError&) {
                ++refusedCuts;
            }
        }
        QVERIFY(refusedCuts > good.size() * 9 / 10);
        for (qsizetype i = 0; i < good.size(); ++i) {
            for (const char b : {'"', ',', '\r', '\n', 'x', '0', '-', '\x81', '\xFD'}) {
                QByteArray bad = good;
                bad[i] = b;
                loadsOrRefuses(bad);
                if (QTest::currentTestFailed())
                    QFAIL(qPrintable(QStringLiteral("byte %1 set to %2").arg(i).arg(int(b))));
            }
        }
    }

    // Every reason reads in both languages, the Japanese one without English beyond the value or
    // the system's error it carries (and the name of the variable HOME).
    void everyReasonInBothLanguages() {
        const QString systemError = QStringLiteral("No space left on device");
        for (int k = 0; k <= int(Reason::Kind::LockNotWritable); ++k) {
            const Reason r{Reason::Kind(k), ValueName{ValueName::Kind::FormPosition, 3, 2},
                           systemError, 7, 101};
            const QString english = reasonText(r, Language::English);
            const QString japanese = reasonText(r, Language::Japanese);
            QVERIFY2(!english.isEmpty() && !japanese.isEmpty(), qPrintable(QString::number(k)));
            QVERIFY2(english.at(0).isLower() && !english.endsWith(u'.'), qPrintable(english));
            QVERIFY2(englishWords(japanese, {systemError, QStringLiteral("HOME")}).isEmpty(),
                     qPrintable(japanese));
            // What the English says of its arguments, the Japanese says too.
            for (const QString& part : {systemError, QStringLiteral("101"), QStringLiteral("7")}) {
                if (english.contains(part))
                    QVERIFY2(japanese.contains(part), qPrintable(english + " / " + japanese));
            }
        }
        const Reason named{Reason::Kind::EndsEarly, ValueName{ValueName::Kind::Name, 4, 1}};
        QCOMPARE(
            reasonText(named, Language::English),
            QStringLiteral("the file ends where the name of field 1 of entry 4 should follow"));
        QCOMPARE(
            reasonText(named, Language::Japanese),
            QStringLiteral("エントリ 4 の項目 1 の名前があるはずの所でファイルが終わっています"));
    }

    // A header that decodes to too few characters counts them in correct English.
    void headerCharacterCount_data() {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("reason");
        QTest::newRow("one") << "1"
                             << "the header decodes to 1 character, too few";
        QTest::newRow("two") << "12"
                             << "the header decodes to 2 characters, too few";
    }
    void headerCharacterCount() {
        QFETCH(QString, header);
        QFETCH(QString, reason);
        Generator g;
        const QByteArray bytes = '"' + encodeText(g, header).toLatin1() + "\"\r\n";
        try {
            parse(bytes);
            QFAIL("loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), err::kInvalidArgument);
            QVERIFY2(e.message().contains(reason), qPrintable(e.message()));
        }
    }

    void entryLimit() {
        // 1001 entries load; a 1002nd is refused at its line.
        StoreContents c = contents(QString(), 0, 0, {});
        for (int i = 0; i < kTableSlots; ++i)
            c.siteTable.append(entry(QStringLiteral("t%1").arg(i), QString(), QString(), {}));
        QByteArray bytes = serialize(c);
        QCOMPARE(parse(bytes).siteTable.siteCount(), int16_t{1001});
        bytes += "\"one too many\",0,\"\",\"\",1001\r\n";
        try {
            parse(bytes);
            QFAIL("a 1002nd entry loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), err::kSubscriptOutOfRange);
            QCOMPARE(e.line(), 1003);
        }
    }

    void fileThatCannotBeOpened_data() {
        QTest::addColumn<QString>("relativePath");
        QTest::addColumn<int>("number");
        QTest::newRow("missing") << "nothing.dat" << err::kFileNotFound;
        QTest::newRow("a folder") << "folder" << err::kPathFileAccess;
    }
    void fileThatCannotBeOpened() {
        QFETCH(QString, relativePath);
        QFETCH(int, number);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        TestStore state;
        try {
            loadStore(state, dir.filePath(relativePath));
            QFAIL("loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), number);
            QVERIFY(e.message().contains(dir.filePath(relativePath)));
        }
    }
};

QTEST_GUILESS_MAIN(DataFileTest)
#include "tst_data_file.moc"
