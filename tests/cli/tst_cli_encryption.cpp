// sirano-cli on an encrypted data file: encrypt and decrypt, and every command asking the
// master password before it reads anything.
#include "support/CliRunner.h"
#include "support/Files.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano::test;

namespace {

const QString kFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");
const QByteArray kMagic = "#SIRANO-ENCRYPTED\n";

}  // namespace

class CliEncryptionTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString data_;

    CliResult run(QStringList args, const QByteArray& input = {}) {
        args << QStringLiteral("--data") << data_;
        return runCli(args, input, dir_.filePath(QStringLiteral("xdg")));
    }
    void encryptFixture() {
        const CliResult r = run({QStringLiteral("encrypt")}, "secret\n");
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.startsWith("encrypted " + data_.toUtf8()), r.out.constData());
        QVERIFY(readAll(data_).startsWith(kMagic));
    }
    QJsonObject exported() {
        const CliResult r = run({QStringLiteral("export")}, "secret\n");
        if (r.exitCode != 0)
            qWarning("%s", r.err.constData());
        return QJsonDocument::fromJson(r.out).object();
    }

private Q_SLOTS:
    void init() {
        data_ = dir_.filePath(QStringLiteral("SIRANO.DAT"));
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("mixed.dat"), data_);  // master password "secret"
        QFile(data_).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    void everyCommandAsksThePassword_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        const QStringList commands[] = {{QStringLiteral("check")},
                                        {QStringLiteral("list")},
                                        {QStringLiteral("list"), QStringLiteral("--json")},
                                        {QStringLiteral("export")}};
        for (const QStringList& c : commands) {
            const QByteArray name = c.join(u' ').toUtf8();
            QTest::newRow(name + ", right") << c << QByteArray("secret\n") << 0;
            QTest::newRow(name + ", wrong") << c << QByteArray("Secret\n") << 2;
            QTest::newRow(name + ", none") << c << QByteArray() << 2;
        }
    }
    void everyCommandAsksThePassword() {
        QFETCH(QStringList, command);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        const CliResult plain = run(command, "secret\n");
        QCOMPARE(plain.exitCode, 0);
        encryptFixture();
        const QByteArray sealed = readAll(data_);
        const CliResult r = run(command, input);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(r.out, plain.out);  // the same store, whatever the format
        } else {
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.contains("master password"), r.err.constData());
        }
        QCOMPARE(readAll(data_), sealed);
    }

    void encryptIsRefused_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("encryptFirst");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("wrong password")
            << "mixed.dat" << false << QByteArray("wrong\n") << 2 << QByteArray("is wrong");
        QTest::newRow("no master password")
            << "empty-table.dat" << false << QByteArray() << 1 << QByteArray("no master password");
        QTest::newRow("encrypted already") << "mixed.dat" << true << QByteArray("secret\n") << 3
                                           << QByteArray("encrypted already");
    }
    void encryptIsRefused() {
        QFETCH(QString, fixture);
        QFETCH(bool, encryptFirst);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        QFile::remove(data_);
        QFile::copy(kFixtures + fixture, data_);
        QFile(data_).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        if (encryptFirst)
            encryptFixture();
        const QByteArray before = readAll(data_);
        const CliResult r = run({QStringLiteral("encrypt")}, input);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QCOMPARE(readAll(data_), before);
    }

    void decryptAsksFirst_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        const QStringList decrypt{QStringLiteral("decrypt")};
        QTest::newRow("yes") << decrypt << QByteArray("secret\ny\n") << 0;
        QTest::newRow("YES") << decrypt << QByteArray("secret\n YES \n") << 0;
        QTest::newRow("no") << decrypt << QByteArray("secret\nn\n") << 3;
        QTest::newRow("no answer") << decrypt << QByteArray("secret\n") << 3;
        QTest::newRow("wrong password") << decrypt << QByteArray("wrong\ny\n") << 2;
        QTest::newRow("--force") << (decrypt + QStringList{QStringLiteral("--force")})
                                 << QByteArray("secret\n") << 0;
        QTest::newRow("--force, wrong password")
            << (decrypt + QStringList{QStringLiteral("--force")}) << QByteArray("wrong\n") << 2;
    }
    void decryptAsksFirst() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        const QByteArray plain = readAll(data_);
        const QJsonObject document = exported();
        encryptFixture();
        const QByteArray sealed = readAll(data_);
        const CliResult r = run(args, input);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode != 0) {
            QCOMPARE(readAll(data_), sealed);
            return;
        }
        const QByteArray back = readAll(data_);
        QVERIFY(!back.startsWith('#'));
        // The plain format again (new seeds, so not the same bytes), holding the same store.
        QCOMPARE(back.count("\r\n"), plain.count("\r\n"));
        QCOMPARE(exported(), document);
        QCOMPARE(run({QStringLiteral("decrypt"), QStringLiteral("--force")}, "secret\n").exitCode,
                 3);
    }

    void importOverAnEncryptedFileKeepsItEncrypted() {
        encryptFixture();
        const QJsonObject document =
            QJsonDocument::fromJson(readAll(kFixtures + QStringLiteral("mixed.json"))).object();
        const CliResult r = run({QStringLiteral("import"), kFixtures + QStringLiteral("mixed.json"),
                                 QStringLiteral("--force")},
                                "secret\n");
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(readAll(data_).startsWith(kMagic));
        QCOMPARE(exported(), document);
    }

    // merge opens an encrypted file on either side with its password, and an encrypted data
    // file stays encrypted with the other's sites added.
    void mergeWithEncryptedFiles() {
        QJsonObject document =
            QJsonDocument::fromJson(readAll(kFixtures + QStringLiteral("mixed.json"))).object();
        QJsonObject only = document.value(QLatin1String("sites")).toArray().first().toObject();
        only.insert(QStringLiteral("title"), QStringLiteral("Only here"));
        document.insert(QStringLiteral("sites"), QJsonArray{only});
        const QString json = dir_.filePath(QStringLiteral("one.json"));
        writeFile(json, QJsonDocument(document).toJson());
        QCOMPARE(
            run({QStringLiteral("import"), json, QStringLiteral("--force")}, "secret\n").exitCode,
            0);
        encryptFixture();

        const QString other = dir_.filePath(QStringLiteral("other.dat"));
        QFile::copy(kFixtures + QStringLiteral("mixed.dat"), other);
        CliResult r = run({QStringLiteral("merge"), other}, "secret\nsecret\n");
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.contains("3 sites added"), r.out.constData());
        QVERIFY(readAll(data_).startsWith(kMagic));
        QCOMPARE(exported().value(QLatin1String("sites")).toArray().size(), 4);

        const QString plain = dir_.filePath(QStringLiteral("plain.dat"));
        QFile::copy(kFixtures + QStringLiteral("empty-table.dat"), plain);
        QFile(plain).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        r = runCli({QStringLiteral("merge"), data_, QStringLiteral("--data"), plain}, "secret\n",
                   dir_.filePath(QStringLiteral("xdg")));
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.contains("4 sites added"), r.out.constData());
        QVERIFY(!readAll(plain).startsWith(kMagic));
    }
};

QTEST_GUILESS_MAIN(CliEncryptionTest)
#include "tst_cli_encryption.moc"
