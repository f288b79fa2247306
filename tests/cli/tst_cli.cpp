// sirano-cli as a user runs it: commands, exit codes, password handling, import checks.
#include "store/DataFolder.h"
#include "support/CliRunner.h"
#include "support/Entries.h"
#include "support/Files.h"
#include "support/StoreFiles.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstring>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");

using Result = test::CliResult;

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

// sirano-cli under a file size limit, started as a shell starts it (SIGXFSZ not ignored): it
// ignores the signal itself, so its writes fail as on a full disk instead of killing it.
Result runLimited(const QStringList& args, const QString& dataHome, rlim_t limit) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    p.setProcessEnvironment(env);
    p.setChildProcessModifier([limit] {
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit r{};
        ::getrlimit(RLIMIT_FSIZE, &r);
        r.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &r);
    });
    p.start(QStringLiteral(SIRANO_CLI_PATH), args);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        qFatal("sirano-cli hangs");
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
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
            << QStringList{"check", "--verbose"} << 64 << "sirano-cli: unknown option '--verbose'.";
        QTest::newRow("unknown short option")
            << QStringList{"list", "-q"} << 64 << "sirano-cli: unknown option '-q'.";
        QTest::newRow("negative number")
            << QStringList{"fill", "-1"} << 64 << "'-1' is not a valid argument: no number here is";
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

    // Every help fits a terminal of 100 columns, apart from the paths of the user's own folders.
    void helpLinesFit() {
        const QStringList commands{"check",   "list", "export",    "import",  "windows",
                                   "capture", "fill", "autostart", "browser", "merge"};
        QList<QStringList> helps{{"--help"}};
        for (const QString& c : commands)
            helps.append({c, QStringLiteral("--help")});
        for (const QStringList& args : helps) {
            const Result r = run(args);
            QCOMPARE(r.exitCode, 0);
            for (const QByteArray& line : r.out.split('\n'))
                QVERIFY2(QString::fromUtf8(line).remove(QDir::homePath()).size() <= 100,
                         qPrintable(args.join(u' ') + QStringLiteral(": ") + line));
        }
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

        // Master passwords that no prompt can give back, or that read back as none.
        const auto password = [&](const QString& pw) {
            return with({"settings", "masterPassword"}, QJsonValue(pw));
        };
        QTest::newRow("password with a line feed")
            << password("pass\nword") << "\"settings.masterPassword\" holds a line end";
        QTest::newRow("password ending in CR LF")
            << password("password\r\n") << "\"settings.masterPassword\" holds a line end";
        QTest::newRow("password with a CR") << password("pass\rword") << "holds a line end";
        QTest::newRow("password equal to the empty marker")
            << password("Blank Passphrase!") << "marker for \"no password\"";

        // Texts longer than a text box holds.
        const QString tooLong(32768, u'x');
        QTest::newRow("long title") << with({"sites", 0, "title"}, QJsonValue(tooLong))
                                    << "\"sites[0].title\" holds 32768 characters; at most 32767";
        QTest::newRow("long value") << with({"sites", 0, "fields", 1, "value"}, QJsonValue(tooLong))
                                    << "\"sites[0].fields[1].value\" holds 32768 characters";
        QTest::newRow("long password")
            << password(tooLong) << "\"settings.masterPassword\" holds 32768 characters";

        // A lone surrogate, written as a JSON escape, where the file keeps texts as they are.
        const QList<std::pair<QList<QVariant>, QString>> plainTexts{
            {{"sites", 0, "title"}, "sites[0].title"},
            {{"sites", 1, "url"}, "sites[1].url"},
            {{"sites", 1, "urlKeyword"}, "sites[1].urlKeyword"},
            {{"sites", 0, "fields", 0, "type"}, "sites[0].fields[0].type"},
            {{"sites", 0, "fields", 0, "name"}, "sites[0].fields[0].name"},
            {{"settings", "masterPassword"}, "settings.masterPassword"}};
        for (const auto& [path, key] : plainTexts) {
            for (const char* escape : {"\\ud800", "a\\udc00b"}) {
                const QByteArray json =
                    with(path, QJsonValue(QStringLiteral("@LONE@"))).replace("@LONE@", escape);
                QTest::addRow("lone surrogate %s in %s", escape, qPrintable(key))
                    << json
                    << QStringLiteral("\"%1\" holds half of a UTF-16 surrogate pair").arg(key);
            }
        }
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
        if (exitCode == 0) {
            QCOMPARE(run({QStringLiteral("check"), QStringLiteral("--data"), data_}).out,
                     QByteArray("ok: 0 sites\n"));
            QCOMPARE(modeOf(data_), mode_t{0600});  // the replaced file was 0644
        } else {
            QCOMPARE(readAll(data_), before);
        }
    }

    // Counts read as English: "1 site", "2 sites".
    void countsInWords_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("sites");
        QTest::newRow("none") << 0 << "0 sites";
        QTest::newRow("one") << 1 << "1 site";
        QTest::newRow("two") << 2 << "2 sites";
    }
    void countsInWords() {
        QFETCH(int, count);
        QFETCH(QString, sites);
        QJsonObject doc = fixtureDocument();
        QJsonArray all = doc[QStringLiteral("sites")].toArray();
        while (all.size() > count)
            all.removeLast();
        doc[QStringLiteral("sites")] = all;
        const QString json = dir_.filePath(QStringLiteral("in.json"));
        writeFile(json, QJsonDocument(doc).toJson());
        QFile::remove(data_);

        const Result imported =
            run({QStringLiteral("import"), json, QStringLiteral("--data"), data_});
        QCOMPARE(QString::fromUtf8(imported.out),
                 QStringLiteral("imported %1 into %2\n").arg(sites, data_));
        const Result checked = run({QStringLiteral("check"), QStringLiteral("--data"), data_});
        QCOMPARE(QString::fromUtf8(checked.out), QStringLiteral("ok: %1\n").arg(sites));
        const Result filled =
            run({QStringLiteral("fill"), QStringLiteral("5"), QStringLiteral("--data"), data_},
                "secret\n");
        QCOMPARE(filled.exitCode, 64);
        QVERIFY2(filled.err.contains(QStringLiteral("holds %1.").arg(sites).toUtf8()),
                 filled.err.constData());
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
        QCOMPARE(modeOf(folder), mode_t{0700});
        QCOMPARE(QFile::permissions(folder + QStringLiteral("/SIRANO.DAT")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(run({QStringLiteral("check")}).out, QByteArray("ok: 3 sites\n"));
    }

    // Any failed write fails the import, before or after the lock: exit 1, the reason, the old
    // file byte for byte, no temporary file left.
    void importOnAFullDisk_data() {
        QTest::addColumn<int>("titleLength");
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        // The lock file's message names the system's reason, not a guess at it.
        QTest::newRow("no room for the lock")
            << 10 << 0 << 1
            << QStringLiteral("cannot be created or written (%1)")
                   .arg(QString::fromLocal8Bit(std::strerror(EFBIG)));
        QTest::newRow("no room for a small file")
            << 1500 << 1024 << 1 << QString::fromLocal8Bit(std::strerror(EFBIG));
        QTest::newRow("no room for a larger file")
            << 20000 << 16384 << 1 << QString::fromLocal8Bit(std::strerror(EFBIG));
        QTest::newRow("room enough") << 10 << 4096 << 0 << "imported 1 site into";
    }
    void importOnAFullDisk() {
        QFETCH(int, titleLength);
        QFETCH(int, limit);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("empty-table.dat"), data_);  // no password
        const QByteArray before = readAll(data_);
        QJsonObject doc = fixtureDocument();
        doc[QStringLiteral("sites")] = QJsonArray{QJsonObject{{"title", QString(titleLength, u'x')},
                                                              {"url", ""},
                                                              {"urlKeyword", ""},
                                                              {"fields", QJsonArray{}}}};
        const QString json = dir_.filePath(QStringLiteral("in.json"));
        writeFile(json, QJsonDocument(doc).toJson());

        const Result r = runLimited({QStringLiteral("import"), json, QStringLiteral("--force"),
                                     QStringLiteral("--data"), data_},
                                    dir_.filePath(QStringLiteral("xdg")), rlim_t(limit));
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(message),
                 (r.out + r.err).constData());
        if (exitCode != 0) {
            QVERIFY2(r.err.contains(data_.toUtf8()) || r.err.contains("sirano.lock"),
                     r.err.constData());
            QCOMPARE(readAll(data_), before);
        }
        const QStringList temporaries =
            QDir(dir_.path()).entryList({QStringLiteral("SIRANO.DAT.*")});
        QVERIFY2(temporaries.isEmpty(), qPrintable(temporaries.join(u' ')));
        QVERIFY(!QFile::exists(dir_.filePath(QStringLiteral("sirano.lock"))));
    }

    void oversizeDocumentIsRefused() {
        const QByteArray before = readAll(data_);
        const QString json = dir_.filePath(QStringLiteral("huge.json"));
        // A valid document: blanks may follow the object.
        writeFile(json, QJsonDocument(fixtureDocument()).toJson() + QByteArray(64 << 20, ' '));
        const Result r = run({QStringLiteral("import"), json, QStringLiteral("--force"),
                              QStringLiteral("--data"), data_},
                             "secret\n");
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("larger than 64 MB"), r.err.constData());
        QCOMPARE(readAll(data_), before);
        QFile::remove(json);
    }

    // Read-only commands neither hang on a named pipe nor create the data folder.
    void readOnlyCommandsTouchNothing_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("check") << "check";
        QTest::newRow("list") << "list";
        QTest::newRow("export") << "export";
    }
    void readOnlyCommandsTouchNothing() {
        QFETCH(QString, command);
        const QString fifo = dir_.filePath(QStringLiteral("pipe.dat"));
        QFile::remove(fifo);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const Result piped = run({command, QStringLiteral("--data"), fifo});
        QFile::remove(fifo);
        QCOMPARE(piped.exitCode, 1);
        QVERIFY2(piped.err.contains("not a regular file"), piped.err.constData());

        QTemporaryDir home;
        const Result missing = test::runCli({command}, {}, home.filePath(QStringLiteral("share")));
        QCOMPARE(missing.exitCode, 1);
        QVERIFY2(missing.err.contains("There is no data file"), missing.err.constData());
        QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("share"))));
    }

    void checkWarnsWhenOthersCanRead_data() {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<QString>("warning");  // empty: none
        QTest::newRow("user's alone") << 0700 << 0600 << QString();
        QTest::newRow("folder readable") << 0755 << 0600 << "the data folder";
        QTest::newRow("folder open to the group") << 0750 << 0600 << "the data folder";
        QTest::newRow("file readable") << 0700 << 0644 << "the data file";
    }
    // A data file or folder of another user, or a folder others may write into: they can
    // replace the data file, and check says so.
    void checkWarnsOfOtherOwners_data() {
        QTest::addColumn<bool>("foreignFile");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<QString>("warning");
        QTest::newRow("file of another user")
            << true << 0700 << "the data file %1 belongs to another user (uid 65534)";
        QTest::newRow("folder writable by others")
            << false << 0733 << "other users can write into the data folder %1 and replace";
    }
    void checkWarnsOfOtherOwners() {
        QFETCH(bool, foreignFile);
        QFETCH(int, folderMode);
        QFETCH(QString, warning);
        if (foreignFile && ::geteuid() != 0)
            QSKIP("needs root to give a file to another user");
        QTemporaryDir home;
        const QString folder = home.filePath(QStringLiteral("sirano"));
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("sirano")));
        const QString file = folder + QStringLiteral("/SIRANO.DAT");
        QVERIFY(QFile::copy(kFixtures + QStringLiteral("mixed.dat"), file));
        ::chmod(QFile::encodeName(file).constData(), 0644);
        ::chmod(QFile::encodeName(folder).constData(), static_cast<mode_t>(folderMode));
        if (foreignFile)
            QCOMPARE(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
        const Result r = test::runCli({QStringLiteral("check")}, {}, home.path());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains(warning.arg(foreignFile ? file : folder).toUtf8()),
                 r.err.constData());
    }

    void checkWarnsWhenOthersCanRead() {
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(QString, warning);
        QTemporaryDir home;
        const QString folder = home.filePath(QStringLiteral("sirano"));
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("sirano")));
        const QString file = folder + QStringLiteral("/SIRANO.DAT");
        QVERIFY(QFile::copy(kFixtures + QStringLiteral("mixed.dat"), file));
        ::chmod(QFile::encodeName(folder).constData(), static_cast<mode_t>(folderMode));
        ::chmod(QFile::encodeName(file).constData(), static_cast<mode_t>(fileMode));
        const Result r = test::runCli({QStringLiteral("check")}, {}, home.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("ok: 3 sites\n"));
        if (warning.isEmpty()) {
            QCOMPARE(r.err, QByteArray());
        } else {
            QVERIFY2(r.err.contains("warning: " + warning.toUtf8()), r.err.constData());
            QVERIFY2(r.err.contains("can be read by other users"), r.err.constData());
        }
    }

    void exportToAFile_data() {
        QTest::addColumn<QString>("existing");  // what is at FILE before: "", "file" or "link"
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("new file") << "" << QStringList{} << QByteArray("secret\n") << 0
                                  << "exported 3 sites to";
        QTest::newRow("existing file")
            << "file" << QStringList{} << QByteArray("secret\n") << 3 << "give --force";
        QTest::newRow("existing file, --force")
            << "file" << QStringList{"--force"} << QByteArray("secret\n") << 0
            << "exported 3 sites";
        QTest::newRow("link to nowhere")
            << "link" << QStringList{} << QByteArray("secret\n") << 3 << "give --force";
        QTest::newRow("wrong password")
            << "" << QStringList{} << QByteArray("nope\n") << 2 << "wrong";
    }
    void exportToAFile() {
        QFETCH(QString, existing);
        QFETCH(QStringList, options);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QString output = dir_.filePath(QStringLiteral("backup.json"));
        const QString nowhere = dir_.filePath(QStringLiteral("nowhere.json"));
        QFile::remove(output);
        QFile::remove(nowhere);
        if (existing == QLatin1String("file")) {
            writeFile(output, "keep me");
            ::chmod(QFile::encodeName(output).constData(), 0644);
        } else if (existing == QLatin1String("link")) {
            QVERIFY(QFile::link(nowhere, output));
        }
        const mode_t oldMask = ::umask(0);
        const Result r = run(QStringList{QStringLiteral("export"), QStringLiteral("--output"),
                                         output, QStringLiteral("--data"), data_} +
                                 options,
                             input);
        ::umask(oldMask);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(message),
                 (r.out + r.err).constData());
        if (exitCode == 0) {
            QCOMPARE(QJsonDocument::fromJson(readAll(output)).object(), fixtureDocument());
            QCOMPARE(modeOf(output), mode_t{0600});
            QVERIFY(!r.out.contains("alice"));  // no value on stdout
        } else if (existing == QLatin1String("file")) {
            QCOMPARE(readAll(output), QByteArray("keep me"));
        } else if (existing == QLatin1String("link")) {
            QVERIFY(QFileInfo(output).isSymLink());
            QVERIFY(!QFileInfo::exists(nowhere));
        } else {
            QVERIFY(!QFile::exists(output));
        }
        QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral("backup.json.*")}), QStringList{});
        QFile::remove(output);
    }

    // merge adds another data file's sites (a sync tool's conflict copy): equal ones once, a
    // differing one beside its namesake and named; the other's password is asked; nothing is
    // written when nothing is new, when the table would overflow, or when the password is wrong.
    void mergeAnotherDataFile_data() {
        QTest::addColumn<QStringList>("mine");
        QTest::addColumn<QStringList>("other");
        QTest::addColumn<QString>("otherPassword");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("after");  // empty: the data file unchanged
        QTest::addColumn<QString>("said");
        QTest::newRow("new and equal sites")
            << QStringList{"A", "B"} << QStringList{"B", "C", "B=2"} << QString() << QByteArray()
            << 0 << QStringList{"A", "B", "C", "B"}
            << "2 sites added, 1 there already\n  kept both: B (https://B.example/) differs";
        QTest::newRow("other's password given")
            << QStringList{"A"} << QStringList{"C"} << "pw" << QByteArray("pw\n") << 0
            << QStringList{"A", "C"} << "1 site added";
        QTest::newRow("other's password wrong") << QStringList{"A"} << QStringList{"C"} << "pw"
                                                << QByteArray("no\n") << 2 << QStringList{} << "";
        QTest::newRow("nothing new") << QStringList{"A", "B"} << QStringList{"B"} << QString()
                                     << QByteArray() << 0 << QStringList{} << "nothing to merge";
        QStringList many;
        for (int i = 0; i < 1001; ++i)
            many << QStringLiteral("S%1").arg(i);
        QTest::newRow("over the table's size")
            << QStringList{"A"} << many << QString() << QByteArray() << 1 << QStringList{}
            << "more than 1001 sites; nothing was written";
    }
    void mergeAnotherDataFile() {
        QFETCH(QStringList, mine);
        QFETCH(QStringList, other);
        QFETCH(QString, otherPassword);
        QFETCH(QByteArray, input);
        QFETCH(QStringList, after);
        QFETCH(QString, said);
        const auto store = [](const QStringList& shorthands, const QString& password,
                              const QString& path) {
            test::TestStore s;
            s.settings.masterPassword = password;
            for (const QString& shorthand : shorthands) {
                const QString title = shorthand.section(u'=', 0, 0);
                const QString value = shorthand.contains(u'=') ? shorthand.section(u'=', 1) : title;
                s.siteTable.append(
                    test::entry(title, QStringLiteral("https://%1.example/").arg(title), {},
                                QList<SiteField>{test::field(0, 0, "text", "u", value)}));
            }
            test::saveStore(s, path);
        };
        store(mine, {}, data_);
        const QString otherFile = dir_.filePath(QStringLiteral("SIRANO.sync-conflict-X.DAT"));
        store(other, otherPassword, otherFile);
        const QByteArray before = readAll(data_);
        const Result r = run({"merge", otherFile, "--data", data_}, input);
        QTEST(r.exitCode, "exitCode");
        QVERIFY2(QString::fromUtf8(r.out + r.err).contains(said), (r.out + r.err).constData());
        if (after.isEmpty()) {
            QCOMPARE(readAll(data_), before);
            return;
        }
        test::TestStore merged;
        test::loadStore(merged, data_);
        QStringList titles;
        for (int i = 0; i < merged.siteTable.siteCount(); ++i)
            titles << merged.siteTable.at(i).title;
        QCOMPARE(titles, after);
    }

    void exportNeverOverwritesTheDataFile() {
        const QByteArray before = readAll(data_);
        const Result r = run({QStringLiteral("export"), QStringLiteral("--output"), data_,
                              QStringLiteral("--force"), QStringLiteral("--data"), data_},
                             "secret\n");
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.contains("the data file itself"), r.err.constData());
        QCOMPARE(readAll(data_), before);
        const Result usage = run(
            {QStringLiteral("export"), QStringLiteral("--force"), QStringLiteral("--data"), data_});
        QCOMPARE(usage.exitCode, 64);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
