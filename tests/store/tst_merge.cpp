// Two versions of the store brought together: this program's change since the version it read,
// applied to the version another program left (entries known by what they hold), and another
// data file's entries merged into this one's.
#include "store/Merge.h"
#include "store/SyncConflicts.h"

#include <QtTest>

using namespace sirano;

namespace {

// "A" is the site A with the value "a"; "A=2" the same site with the value "2".
SiteEntry site(const QString& shorthand) {
    const QString title = shorthand.section(u'=', 0, 0);
    const QString value = shorthand.contains(u'=') ? shorthand.section(u'=', 1) : title.toLower();
    SiteEntry e;
    e.title = title;
    e.url = QStringLiteral("https://%1.example/").arg(title);
    e.setField(0, SiteField{0, 0, QStringLiteral("text"), QStringLiteral("user"), value});
    return e;
}

StoreContents contents(const QStringList& shorthands) {
    StoreContents c;
    for (const QString& s : shorthands)
        c.siteTable.append(site(s));
    return c;
}

QStringList shorthands(const SiteTable& table) {
    QStringList out;
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        const QString value = e.fieldValue(0);
        out << (value == e.title.toLower() ? e.title : e.title + u'=' + value);
    }
    return out;
}

}  // namespace

class MergeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void applyChanges_data() {
        QTest::addColumn<QStringList>("base");
        QTest::addColumn<QStringList>("mine");
        QTest::addColumn<QStringList>("theirs");
        QTest::addColumn<QStringList>("merged");
        QTest::addColumn<QList<int>>("keptBoth");
        const QList<int> none;
        QTest::newRow("nothing changed here")
            << QStringList{"A"} << QStringList{"A"} << QStringList{"A", "B"}
            << QStringList{"A", "B"} << none;
        QTest::newRow("both added") << QStringList{"A"} << QStringList{"A", "C"}
                                    << QStringList{"A", "B"} << QStringList{"A", "B", "C"} << none;
        QTest::newRow("both added the same")
            << QStringList{"A"} << QStringList{"A", "B"} << QStringList{"A", "B"}
            << QStringList{"A", "B"} << none;
        QTest::newRow("deleted here, there as it was")
            << QStringList{"A", "B"} << QStringList{"B"} << QStringList{"A", "B", "C"}
            << QStringList{"B", "C"} << none;
        QTest::newRow("deleted here, changed there")
            << QStringList{"A", "B"} << QStringList{"B"} << QStringList{"A=2", "B"}
            << QStringList{"A=2", "B"} << none;
        QTest::newRow("changed here, moved there")
            << QStringList{"A"} << QStringList{"A=2"} << QStringList{"X", "A"}
            << QStringList{"X", "A=2"} << none;
        QTest::newRow("changed here, deleted there")
            << QStringList{"A", "B"} << QStringList{"A=2", "B"} << QStringList{"B"}
            << QStringList{"B", "A=2"} << QList<int>{1};
        QTest::newRow("changed on both sides")
            << QStringList{"A"} << QStringList{"A=2"} << QStringList{"A=3"}
            << QStringList{"A=3", "A=2"} << QList<int>{1};
        QTest::newRow("one of two equal entries deleted")
            << QStringList{"A", "A"} << QStringList{"A"} << QStringList{"A", "A", "B"}
            << QStringList{"A", "B"} << none;
        QTest::newRow("deleted on both sides") << QStringList{"A", "B"} << QStringList{"B"}
                                               << QStringList{"B"} << QStringList{"B"} << none;
    }
    void applyChanges() {
        QFETCH(QStringList, base);
        QFETCH(QStringList, mine);
        QFETCH(QStringList, theirs);
        const MergeResult result =
            sirano::applyChanges(contents(base), contents(mine), contents(theirs));
        QTEST(shorthands(result.contents.siteTable), "merged");
        QTEST(result.keptBoth, "keptBoth");
        QVERIFY(!result.tableFull);
    }

    // A setting this side changed is this side's; every other is the file's.
    void settingsAreMergedOneByOne() {
        StoreContents base = contents({"A"});
        StoreContents mine = base;
        StoreContents theirs = base;
        mine.settings.masterPassword = QStringLiteral("mine");
        theirs.settings.masterPassword = QStringLiteral("theirs");
        theirs.settings.autoLogoutMinutes = 5;
        mine.settings.autoLoginAtStart = 1;
        const Settings merged = sirano::applyChanges(base, mine, theirs).contents.settings;
        QCOMPARE(merged.masterPassword, QStringLiteral("mine"));
        QCOMPARE(merged.autoLogoutMinutes, int16_t(5));
        QCOMPARE(merged.autoLoginAtStart, int16_t(1));
    }

    // A page filled once is not filled again because the file was read again.
    void fillMarkersStayWithTheirEntries() {
        StoreContents base = contents({"A", "B"});
        StoreContents mine = base;
        mine.siteTable.at(1).filledWindows.insert(7);
        const MergeResult result = sirano::applyChanges(base, mine, contents({"X", "B", "A"}));
        QVERIFY(result.contents.siteTable.at(1).filledWindows.contains(7));
        QVERIFY(result.contents.siteTable.at(2).filledWindows.empty());
    }

    void fullTableIsSaid() {
        QStringList many;
        for (int i = 0; i < kTableSlots; ++i)
            many << QStringLiteral("S%1").arg(i);
        const MergeResult result =
            sirano::applyChanges(contents({}), contents({"New"}), contents(many));
        QVERIFY(result.tableFull);
    }

    // Another file's entries: equal ones once, the others appended; one that shares title and
    // address with a held one but differs is kept beside it and named.
    void mergeTables() {
        const TableMerge m = sirano::mergeTables(contents({"A", "B"}).siteTable,
                                                 contents({"B", "C", "B=2"}).siteTable);
        QCOMPARE(shorthands(m.table), (QStringList{"A", "B", "C", "B=2"}));
        QCOMPARE(m.added, 2);
        QCOMPARE(m.alreadyHeld, 1);
        QCOMPARE(m.differing, QList<int>{3});
        QVERIFY(!m.tableFull);
    }

    // The names sync tools give the copies they leave beside the data file, and names that are
    // not such copies.
    void conflictCopyNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("copy");
        QTest::newRow("Syncthing") << "SIRANO.sync-conflict-20261211-101500-ABCDEFG.DAT" << true;
        QTest::newRow("Syncthing, nothing after") << "SIRANO.sync-conflict-.DAT" << true;
        QTest::newRow("Nextcloud") << "SIRANO (conflicted copy 2026-12-11 101500).DAT" << true;
        QTest::newRow("Dropbox") << "SIRANO (Ann's conflicted copy 2026-12-11).DAT" << true;
        QTest::newRow("other case") << "sirano (Conflicted Copy 1).dat" << true;
        QTest::newRow("the data file") << "SIRANO.DAT" << false;
        QTest::newRow("a backup") << "SIRANO.DAT.bak" << false;
        QTest::newRow("after the extension") << "SIRANO.sync-conflict-1.DAT.tmp" << false;
        QTest::newRow("before the stem") << "xSIRANO.sync-conflict-1.DAT" << false;
        QTest::newRow("no hyphen") << "SIRANO.sync-conflict.DAT" << false;
        QTest::newRow("a copy of another kind") << "SIRANO (copy).DAT" << false;
        QTest::newRow("unclosed") << "SIRANO (conflicted copy.DAT" << false;
        QTest::newRow("no space") << "SIRANO(conflicted copy).DAT" << false;
        QTest::newRow("empty brackets") << "SIRANO ().DAT" << false;
        QTest::newRow("too short") << "SIRANO.DA" << false;
    }
    void conflictCopyNames() {
        QFETCH(QString, name);
        QFETCH(bool, copy);
        QCOMPARE(isConflictCopyName(name), copy);
    }

    // Only the copies, in name order, whatever else lies in the folder.
    void conflictCopiesInAFolder() {
        QTemporaryDir dir;
        for (const char* name : {"SIRANO.DAT", "SIRANO (b conflicted copy).DAT", "error.log",
                                 "SIRANO.sync-conflict-a.DAT", "notes.txt"}) {
            QFile f(QDir(dir.path()).filePath(QString::fromUtf8(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("SIRANO.sync-conflict-folder.DAT")));
        QCOMPARE(conflictCopiesIn(dir.path()),
                 (QStringList{"SIRANO (b conflicted copy).DAT", "SIRANO.sync-conflict-a.DAT"}));
    }
};

QTEST_GUILESS_MAIN(MergeTest)
#include "tst_merge.moc"
