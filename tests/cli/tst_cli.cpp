// sirano-cli as a user runs it: commands, exit codes, password handling, import checks.
#include "CliRunner.h"
#include "store/DataFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano;

namespace {

const QString kFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");

using Result = test::CliResult;

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QJsonObject fixtureDocument() {
    return QJsonDocument::fromJson(readAll(kFixtures + QStringLiteral("mixed.json"))).object();
}

// A document with one change made at a path of keys and indices, e.g. {"sites", 0, "url"}.
QJsonValue changed(const QJsonValue& v, QList<QVariant> path, const std::optional<QJsonValue>& to) {
    if (path.isEmpty())
        return to.value_or(QJsonValue());
    const QVariant key = path.takeFirst();
    if (key.typeId() == QMetaType::Int) {
        QJsonArray a = v.toArray();
        if (path.isEmpty() && !to)
            a.removeAt(key.toInt());
        else
            a[key.toInt()] = changed(a[key.toInt()], path, to);
        return a;
    }
    QJsonObject o = v.toObject();
    if (path.isEmpty() && !to)
        o.remove(key.toString());
    else
        o[key.toString()] = changed(o[key.toString()], path, to);
    return o;
}

}  // namespace

class CliTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString data_;

    Result run(const QStringList& args, const QByteArray& input = {}) {
        return test::runCli(args, input, dir_.filePath(QStringLiteral("xdg")));
    }

    void importDocument(const QJsonObject& doc) {
        const QString json = dir_.filePath(QStringLiteral("in.json"));
        writeFile(json, QJsonDocument(doc).toJson());
        QFile::remove(data_);
        const Result r = run({QStringLiteral("import"), json, QStringLiteral("--data"), data_});
        QVERIFY2(r.exitCode == 0, r.err.constData());
    }

private Q_SLOTS:
    void init() {
        data_ = dir_.filePath(QStringLiteral("SIRANO.DAT"));
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("mixed.dat"), data_);  // master password "secret"
    }

    void usage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");  // on stdout for 0, else on stderr
        QTest::newRow("version") << QStringList{"--version"} << 0 << "sirano-cli 1.3.0\n";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Exit codes:";
        QTest::newRow("help of check")
            << QStringList{"check", "--help"} << 0 << "Usage: sirano-cli check";
        QTest::newRow("help of list") << QStringList{"list", "-h"} << 0 << "Usage: sirano-cli list";
        QTest::newRow("help of export")
            << QStringList{"export", "--help"} << 0 << "Usage: sirano-cli export";
        QTest::newRow("help of import")
            << QStringList{"help", "import"} << 0 << "Usage: sirano-cli import";
        QTest::newRow("no command") << QStringList{} << 64 << "Usage:";
        QTest::newRow("unknown command")
            << QStringList{"frobnicate"} << 64 << "unknown command 'frobnicate'";
        QTest::newRow("unknown option")
            << QStringList{"check", "--verbose"} << 64 << "Unknown option 'verbose'";
        QTest::newRow("missing option value") << QStringList{"check", "--data"} << 64 << "data";
        QTest::newRow("import without file") << QStringList{"import"} << 64 << "missing";
        QTest::newRow("extra argument")
            << QStringList{"list", "extra"} << 64 << "unexpected argument 'extra'";
    }
    void usage() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const Result r = run(args);
        QCOMPARE(r.exitCode, exitCode);
        const QString shown = QString::fromUtf8(exitCode == 0 ? r.out : r.err);
        QVERIFY2(shown.contains(output), qPrintable(shown));
        if (exitCode == 0 && args.contains(QStringLiteral("--help")))
            QVERIFY(shown.contains(QStringLiteral("Exit codes:")));
    }

    void check_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("good") << "mixed.dat" << 0 << "ok: 3 sites\n";
        QTest::newRow("empty table") << "empty-table.dat" << 0 << "ok: 0 sites\n";
        QTest::newRow("damaged") << "bad/field-count-not-a-number.dat" << 1
                                 << "(line 2, value 2): the field count";
        QTest::newRow("missing") << "no-such.dat" << 1 << "There is no data file";
    }
    void check() {
        QFETCH(QString, file);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const Result r = run({QStringLiteral("check"), QStringLiteral("--data"), kFixtures + file});
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(QString::fromUtf8(r.out), output);
        } else {
            QVERIFY2(QString::fromUtf8(r.err).contains(output), r.err.constData());
            QVERIFY(r.out.isEmpty());
        }
    }

    void listAsTextAndJson() {
        QJsonObject doc = fixtureDocument();
        doc = changed(doc, {"sites", 2, "title"},
                      QJsonValue(QStringLiteral("tab\there\nnew \\ line")))
                  .toObject();
        importDocument(doc);

        const Result text = run({QStringLiteral("list"), QStringLiteral("--data"), data_});
        QCOMPARE(text.exitCode, 0);
        QCOMPARE(QString::fromUtf8(text.out),
                 QStringLiteral(
                     "0\tLog in, please\thttps://bank.example/login?a=1,2\t\t4\n"
                     "1\tログイン｜銀行\thttps://例え.jp/ログイン\tログイン\t2\n"
                     "2\ttab\\there\\nnew \\\\ line\thttp://no-fields.example/\tkeyword\t0\n"));

        const Result json = run(
            {QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--data"), data_});
        QCOMPARE(json.exitCode, 0);
        const QJsonArray sites = QJsonDocument::fromJson(json.out).array();
        QCOMPARE(sites.size(), 3);
        QCOMPARE(sites[1].toObject(),
                 (QJsonObject{{"index", 1},
                              {"title", QStringLiteral("ログイン｜銀行")},
                              {"url", QStringLiteral("https://例え.jp/ログイン")},
                              {"urlKeyword", QStringLiteral("ログイン")},
                              {"fieldCount", 2}}));
        // No stored value shows.
        QVERIFY(!json.out.contains("alice") && !text.out.contains("alice"));
    }

    void exportAsksThePassword_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("right") << QByteArray("secret\n") << 0;
        QTest::newRow("right, CR LF, more lines") << QByteArray("secret\r\nignored\n") << 0;
        QTest::newRow("right, no line end") << QByteArray("secret") << 0;
        QTest::newRow("wrong") << QByteArray("Secret\n") << 2;
        QTest::newRow("blank") << QByteArray("\n") << 2;
        QTest::newRow("none") << QByteArray() << 2;
    }
    void exportAsksThePassword() {
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        const Result r = run({QStringLiteral("export"), QStringLiteral("--data"), data_}, input);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(QJsonDocument::fromJson(r.out).object(), fixtureDocument());
        } else {
            QVERIFY(r.out.isEmpty());
            QVERIFY(r.err.contains("master password"));
        }
    }

    void exportWithoutPasswordAsksNothing() {
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("empty-table.dat"), data_);
        const Result r = run({QStringLiteral("export"), QStringLiteral("--data"), data_});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out).object(),
                 QJsonDocument::fromJson(readAll(kFixtures + QStringLiteral("empty-table.json")))
                     .object());
    }

    void exportThenImportIsExact() {
        QJsonObject doc = fixtureDocument();
        // Texts beyond the base format: quotes, line ends, characters CP932 lacks.
        doc = changed(doc, {"sites", 0, "title"},
                      QJsonValue(QStringLiteral("Say \"hi\"\r\n, café 😀 〜")))
                  .toObject();
        doc =
            changed(doc, {"sites", 0, "fields", 1, "value"}, QJsonValue(QStringLiteral("p\"w\n€")))
                .toObject();
        importDocument(doc);
        const Result r =
            run({QStringLiteral("export"), QStringLiteral("--data"), data_}, "secret\n");
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out).object(), doc);
    }

    void badDocumentsWriteNothing_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        const QJsonObject doc = fixtureDocument();
        const auto with = [&](QList<QVariant> path, std::optional<QJsonValue> to) {
            return QJsonDocument(changed(doc, path, to).toObject()).toJson();
        };
        QTest::newRow("not json") << QByteArray("{\n  \"format\": \"sirano\",\n  oops\n}")
                                  << "bad.json, line 3, column";
        QTest::newRow("not an object") << QByteArray("[]") << "must be a JSON object";
        QTest::newRow("wrong format")
            << with({"format"}, QJsonValue(QStringLiteral("other"))) << "\"format\"";
        QTest::newRow("wrong version")
            << with({"version"}, QJsonValue(2)) << "\"version\" must be 1";
        QTest::newRow("missing settings")
            << with({"settings"}, std::nullopt) << "\"settings\" is missing";
        QTest::newRow("missing url")
            << with({"sites", 1, "url"}, std::nullopt) << "\"sites[1].url\" is missing";
        QTest::newRow("missing field name") << with({"sites", 0, "fields", 2, "name"}, std::nullopt)
                                            << "\"sites[0].fields[2].name\" is missing";
        QTest::newRow("title not a text")
            << with({"sites", 0, "title"}, QJsonValue(5)) << "\"sites[0].title\" must be a text";
        QTest::newRow("minutes 1000") << with({"settings", "autoLogoutMinutes"}, QJsonValue(1000))
                                      << "\"settings.autoLogoutMinutes\" is 1000";
        QTest::newRow("negative minutes") << with({"settings", "autoLogoutMinutes"}, QJsonValue(-1))
                                          << "\"settings.autoLogoutMinutes\" is -1";
        QTest::newRow("log-in flag 10") << with({"settings", "autoLoginAtStart"}, QJsonValue(10))
                                        << "\"settings.autoLoginAtStart\" is 10";
        QTest::newRow("fractional position")
            << with({"sites", 0, "fields", 0, "formIndex"}, QJsonValue(1.5))
            << "must be a whole number";
        QTest::newRow("position too large")
            << with({"sites", 0, "fields", 0, "elementIndex"}, QJsonValue(32768))
            << "\"sites[0].fields[0].elementIndex\" is 32768";
        QJsonArray sites;
        for (int i = 0; i < 1002; ++i)
            sites.append(doc[QStringLiteral("sites")].toArray()[2]);
        QTest::newRow("1002 sites")
            << with({"sites"}, QJsonValue(sites)) << "\"sites\" holds 1002 items; at most 1001";
        QJsonArray fields;
        for (int j = 0; j < 102; ++j)
            fields.append(doc[QStringLiteral("sites")]
                              .toArray()[0]
                              .toObject()[QStringLiteral("fields")]
                              .toArray()[0]);
        QTest::newRow("102 fields") << with({"sites", 0, "fields"}, QJsonValue(fields))
                                    << "\"sites[0].fields\" holds 102 items; at most 101";
    }
    void badDocumentsWriteNothing() {
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        const QString jsonFile = dir_.filePath(QStringLiteral("bad.json"));
        writeFile(jsonFile, json);
        const QByteArray before = readAll(data_);
        for (const bool existing : {true, false}) {
            if (!existing)
                QFile::remove(data_);
            const Result r = run({QStringLiteral("import"), jsonFile, QStringLiteral("--force"),
                                  QStringLiteral("--data"), data_},
                                 "secret\n");
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
            QVERIFY2(r.err.contains(jsonFile.toUtf8()), r.err.constData());
            QCOMPARE(QFile::exists(data_), existing);
            if (existing)
                QCOMPARE(readAll(data_), before);
        }
    }

    void importReplacesOnlyWhenAllowed_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("without --force")
            << QStringList{} << QByteArray("secret\n") << 3 << "give --force";
        QTest::newRow("wrong password")
            << QStringList{"--force"} << QByteArray("nope\n") << 2 << "wrong";
        QTest::newRow("no password")
            << QStringList{"--force"} << QByteArray() << 2 << "No master password";
        QTest::newRow("right password")
            << QStringList{"--force"} << QByteArray("secret\n") << 0 << "imported 0 sites";
    }
    void importReplacesOnlyWhenAllowed() {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QByteArray before = readAll(data_);
        const Result r = run(
            QStringList{QStringLiteral("import"), kFixtures + QStringLiteral("empty-table.json"),
                        QStringLiteral("--data"), data_} +
                options,
            input);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(message),
                 (r.out + r.err).constData());
        if (exitCode == 0)
            QCOMPARE(run({QStringLiteral("check"), QStringLiteral("--data"), data_}).out,
                     QByteArray("ok: 0 sites\n"));
        else
            QCOMPARE(readAll(data_), before);
    }

    void importOverADamagedFileIsRefused() {
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("bad/cut-inside-entry.dat"), data_);
        const QByteArray before = readAll(data_);
        const Result r =
            run({QStringLiteral("import"), kFixtures + QStringLiteral("empty-table.json"),
                 QStringLiteral("--force"), QStringLiteral("--data"), data_});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("move it away"), r.err.constData());
        QCOMPARE(readAll(data_), before);
    }

    void importRefusedWhileSiranoRuns() {
        QFile::remove(data_);
        const auto lock = DataFolderLock::tryAcquire(dir_.path());
        QVERIFY(lock);
        const Result r = run({QStringLiteral("import"), kFixtures + QStringLiteral("mixed.json"),
                              QStringLiteral("--data"), data_});
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.contains("SIRANO is running"), r.err.constData());
        QVERIFY(!QFile::exists(data_));
    }

    void defaultDataFile() {
        const QString folder = dir_.filePath(QStringLiteral("xdg/sirano"));
        QDir(folder).removeRecursively();
        const Result imported =
            run({QStringLiteral("import"), kFixtures + QStringLiteral("mixed.json")});
        QCOMPARE(imported.exitCode, 0);
        QVERIFY(QFile::exists(folder + QStringLiteral("/SIRANO.DAT")));
        QCOMPARE(QFile::permissions(folder + QStringLiteral("/SIRANO.DAT")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(run({QStringLiteral("check")}).out, QByteArray("ok: 3 sites\n"));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
