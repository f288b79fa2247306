// The packed fields of an entry: every text comes back exactly (one byte per character or two,
// and the change between them), changes in the middle leave the other columns alone, and the
// bounds are error 9. Also the load of a data file with more entries than the table holds.
#include "store/DataFile.h"
#include "support/Files.h"

#include <QTemporaryDir>
#include <QTest>

using namespace sirano;
using namespace sirano::test;

Q_DECLARE_METATYPE(sirano::SiteField)

namespace {

SiteField field(int element, const QString& type, const QString& name, const QString& value) {
    return SiteField{0, static_cast<int16_t>(element), type, name, value};
}

const QString kLoneSurrogate = QString(QChar(0xD800)) + QStringLiteral("x");

void expectError9(const std::function<void()>& f) {
    try {
        f();
        QFAIL("no error");
    } catch (const SiranoError& e) {
        QCOMPARE(e.number(), err::kSubscriptOutOfRange);
    }
}

}  // namespace

class TstSiteTable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void textsComeBackExactly_data() {
        QTest::addColumn<SiteField>("f");
        QTest::newRow("ascii") << field(1, "text", "user", "alice");
        QTest::newRow("latin-1") << field(2, "text", "nom", QStringLiteral("café ÿ"));
        QTest::newRow("japanese") << field(3, "password", QStringLiteral("名前"), "secret");
        QTest::newRow("emoji") << field(4, "text", "e", QStringLiteral("a😀b"));
        QTest::newRow("lone surrogate") << field(5, "text", kLoneSurrogate, kLoneSurrogate);
        QTest::newRow("empty texts") << field(6, "", "", "");
        QTest::newRow("negative positions") << SiteField{-1, -32768, "checkbox", "k", "True"};
    }
    void textsComeBackExactly() {
        QFETCH(SiteField, f);
        // Alone, after a narrow field, and before one.
        SiteEntry e;
        e.setField(0, f);
        QCOMPARE(e.field(0), f);
        const SiteField before = field(9, "text", "first", "plain");
        SiteEntry mixed;
        mixed.setField(0, before);
        mixed.setField(1, f);
        mixed.appendField(0, 7, QLatin1StringView("text"), QLatin1StringView("last"), u"after");
        QCOMPARE(mixed.fields(),
                 (std::vector<SiteField>{before, f, field(7, "text", "last", "after")}));
        QCOMPARE(mixed.fieldValue(1), f.fieldValue);
        QCOMPARE(mixed.fieldName(1), f.fieldName);
        QCOMPARE(mixed.fieldType(1), f.fieldType);
        QCOMPARE(mixed.formIndex(1), f.formIndex);
        QCOMPARE(mixed.elementIndex(1), f.elementIndex);
        QCOMPARE(mixed.isCheckbox(1), f.isCheckbox());
        QString out = QStringLiteral("room left from a longer text");
        mixed.copyFieldText(1, SiteEntry::Text::Value, out);
        QCOMPARE(out, f.fieldValue);
    }

    void changesInTheMiddle() {
        SiteEntry e;
        for (int j = 0; j < 5; ++j)
            e.setField(
                j, field(j, "text", QStringLiteral("n%1").arg(j), QStringLiteral("v%1").arg(j)));
        const SiteEntry original = e;

        e.setFieldValue(2, QStringLiteral("新しい値"));  // the entry turns to two bytes a character
        e.setFieldName(3, QStringLiteral("a longer name than before"));
        e.setField(1, field(11, "checkbox", "box", "False"));
        QCOMPARE(e.fieldCount(), int16_t{5});
        QCOMPARE(e.fields(),
                 (std::vector<SiteField>{field(0, "text", "n0", "v0"),
                                         field(11, "checkbox", "box", "False"),
                                         field(2, "text", "n2", QStringLiteral("新しい値")),
                                         field(3, "text", "a longer name than before", "v3"),
                                         field(4, "text", "n4", "v4")}));
        QVERIFY(!(e == original));

        // Back to the same texts: equal, however each keeps its characters.
        e.setFieldValue(2, QStringLiteral("v2"));
        e.setFieldName(3, QStringLiteral("n3"));
        e.setField(1, original.field(1));
        QVERIFY(e == original);
        QCOMPARE(e.fields(), original.fields());

        // Markers are no part of the comparison.
        e.filledWindows.insert(7);
        QVERIFY(e == original);
    }

    // An entry whose texts pass 65535 characters keeps every position: its fields before and after
    // that point, in both kinds of text, cut back and grown again, and through the data file.
    void entryPastSixtyFourKCharacters() {
        const QString long1(30000, u'a');
        const QString long2(30000, u'b');
        std::vector<SiteField> expected{field(0, "text", "n0", long1),
                                        field(1, "text", "n1", long2),
                                        field(2, "password", "n2", QString(6000, u'c')),
                                        field(3, "text", QStringLiteral("名前"), long1 + u'z'),
                                        SiteField{-5, 32767, "checkbox", "k", "True"}};
        SiteEntry e;
        for (const SiteField& f : expected)
            e.appendField(f.formIndex, f.elementIndex, f.fieldType, f.fieldName, f.fieldValue);
        QCOMPARE(e.fields(), expected);
        QCOMPARE(e.fieldTextLength(), qsizetype{96042});

        // Equal to the same fields packed from the start in the other order of events.
        SiteEntry other;
        other.setField(4, expected[4]);
        for (int j = 0; j < 4; ++j)
            other.setField(j, expected[static_cast<size_t>(j)]);
        QVERIFY(other == e);

        e.setFieldCount(2);
        QCOMPARE(e.fields(), (std::vector<SiteField>{expected[0], expected[1]}));
        e.setFieldCount(3);
        QCOMPARE(e.field(2), SiteField{});
        e.setField(2, expected[2]);
        e.setFieldValue(0, u"short");
        QCOMPARE(e.fieldValue(0), QStringLiteral("short"));
        QCOMPARE(e.field(1), expected[1]);
        QCOMPARE(e.field(2), expected[2]);

        StoreContents c;
        c.siteTable.append(other);
        Generator gen;
        const StoreContents back = parseDataFile(serializeDataFile(c.siteTable, c.settings, gen),
                                                 gen, QStringLiteral("t"));
        QCOMPARE(back.siteTable.at(0).fields(), expected);
    }

    void countAndBounds() {
        SiteEntry e;
        e.setField(3, field(3, "text", "d", "4"));  // columns 0-2 become empty fields
        QCOMPARE(e.fieldCount(), int16_t{4});
        QCOMPARE(e.field(1), SiteField{});
        QCOMPARE(e.field(3), field(3, "text", "d", "4"));
        e.setFieldCount(2);
        QCOMPARE(e.fieldCount(), int16_t{2});
        e.setFieldCount(3);
        QCOMPARE(e.field(2), SiteField{});
        e.setField(kFieldColumns - 1, field(1, "text", "last", "column"));
        QCOMPARE(e.fieldCount(), int16_t{kFieldColumns});

        expectError9([&] { e.setField(kFieldColumns, SiteField{}); });
        expectError9([&] { e.appendField(0, 0, u"", u"", u""); });
        expectError9([&] { e.setFieldCount(kFieldColumns + 1); });
        expectError9([&] { e.setFieldCount(-1); });
        expectError9([&] { e.setField(-1, SiteField{}); });
        e.setFieldCount(1);
        expectError9([&] { e.field(1); });
        expectError9([&] { e.fieldValue(-1); });
        expectError9([&] { e.setFieldValue(1, u"x"); });
        QString out;
        expectError9([&] { e.copyFieldText(1, SiteEntry::Text::Name, out); });

        e.clear();
        QCOMPARE(e.fieldCount(), int16_t{0});
        QVERIFY(e == SiteEntry{});
    }

    // Texts the table keeps one byte a character and two bytes a character, with short and long
    // positions of their texts, in one file, read back as they were written; the file written
    // again is the same bytes.
    void dataFileRoundTripOfBothKinds() {
        StoreContents c;
        SiteEntry narrow;
        narrow.title = QStringLiteral("narrow");
        narrow.setField(0, field(0, "text", "user", QStringLiteral("café")));
        narrow.setField(1, field(3, "checkbox", "keep", "True"));
        SiteEntry wide;
        wide.title = QStringLiteral("wide");
        wide.setField(0, field(0, "text", QStringLiteral("名前"), QStringLiteral("値😀")));
        wide.setField(1, field(1, "text", "x", kLoneSurrogate));
        SiteEntry longNarrow;  // past 65535 characters
        longNarrow.title = QStringLiteral("long");
        for (int j = 0; j < 3; ++j)
            longNarrow.setField(
                j, field(j, "text", QStringLiteral("n%1").arg(j), QString(40000, QChar(u'a' + j))));
        SiteEntry longWide = longNarrow;
        longWide.setFieldName(1, u"名前");
        for (const SiteEntry& e : {narrow, wide, longNarrow, longWide})
            c.siteTable.append(e);
        Generator gen;
        const QByteArray bytes = serializeDataFile(c.siteTable, c.settings, gen);
        const StoreContents back = parseDataFile(bytes, gen, QStringLiteral("t"));
        QCOMPARE(back.siteTable.siteCount(), int16_t{4});
        for (int i = 0; i < 4; ++i) {
            QVERIFY(back.siteTable.at(i) == c.siteTable.at(i));
            QCOMPARE(back.siteTable.at(i).fields(), c.siteTable.at(i).fields());
        }
        QCOMPARE(serializeDataFile(back.siteTable, back.settings, gen).size(), bytes.size());
    }

    // The load stops at the first entry too many: what follows it is never looked at, so even
    // bytes no parse would accept there give the same refusal, at that entry's line.
    void loadStopsAtTheFirstEntryTooMany() {
        StoreContents c;
        for (int i = 0; i < kTableSlots; ++i) {
            SiteEntry e;
            e.title = QStringLiteral("t%1").arg(i);
            c.siteTable.append(e);
        }
        Generator gen;
        QByteArray bytes = serializeDataFile(c.siteTable, c.settings, gen);
        bytes += "\"one too many\",0,\"\",\"\",1001\r\n\"unclosed";
        bytes += QByteArray(1 << 20, 'x');
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("SIRANO.DAT"));
        writeFile(path, bytes);
        try {
            loadDataFile(path, gen);
            QFAIL("a 1002nd entry loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), err::kSubscriptOutOfRange);
            QCOMPARE(e.line(), 1003);
        }
    }

    void emptyFileStillRefused() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("SIRANO.DAT"));
        writeFile(path, {});
        Generator gen;
        try {
            loadDataFile(path, gen);
            QFAIL("an empty file loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), err::kInputPastEnd);
        }
    }
};

QTEST_GUILESS_MAIN(TstSiteTable)
#include "tst_site_table.moc"
