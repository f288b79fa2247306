// The encrypted data file: round trips, tampering, hostile parameters, wrong passwords, and
// plain files untouched by the envelope.
#include "store/DataFile.h"
#include "support/StoreFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kStoreFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");
const QString kPassword = QStringLiteral("correct horse");
// The cheapest parameters a file may ask for: the tests derive many keys.
const KdfParams kTestParams{1, kMinKdfMemKiB};

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

TestStore fullTable() {
    TestStore s;
    s.settings.masterPassword = kPassword;
    s.settings.autoLogoutMinutes = 30;
    for (int i = 0; i < kTableSlots; ++i) {
        SiteEntry e;
        e.title = QStringLiteral("サイト %1, \"log in\"").arg(i);
        e.url = QStringLiteral("https://site%1.example/login").arg(i);
        e.urlKeyword = QStringLiteral("login");
        for (int j = 0; j < kFieldColumns; ++j)
            e.setField(j, SiteField{static_cast<int16_t>(j / 20), static_cast<int16_t>(j),
                                    QStringLiteral("text"), QStringLiteral("f%1").arg(j),
                                    QStringLiteral("値%1-%2\U0001F511").arg(i).arg(j)});
        s.siteTable.append(std::move(e));
    }
    return s;
}

TestStore smallStore() {
    TestStore s;
    s.settings.masterPassword = kPassword;
    SiteEntry e;
    e.title = QStringLiteral("Bank");
    e.url = QStringLiteral("https://bank.example/login");
    e.setField(0, SiteField{0, 1, QStringLiteral("password"), QStringLiteral("pw"),
                            QStringLiteral("hunter2")});
    s.siteTable.append(std::move(e));
    return s;
}

// Offset of the first byte after the line that starts with prefix.
qsizetype after(const QByteArray& bytes, const char* prefix) {
    const qsizetype at = bytes.indexOf(QByteArray("\n") + prefix);
    if (at < 0)
        qFatal("no line %s", prefix);
    return at + 1 + qsizetype(qstrlen(prefix));
}

qsizetype headerEnd(const QByteArray& bytes) {
    return bytes.indexOf('\n', after(bytes, "nonce ")) + 1;
}

QByteArray replaced(QByteArray bytes, qsizetype at, char c) {
    bytes[at] = c;
    return bytes;
}

QByteArray flipped(QByteArray bytes, qsizetype at) {
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

// A well-formed header before made-up contents: what a hostile file can ask for.
QByteArray envelopeAsking(const QByteArray& kdfLine) {
    return "#SIRANO-ENCRYPTED\nversion 1\n" + kdfLine + "\nsalt " + QByteArray(32, 'a') +
           "\ncheck " + QByteArray(32, 'b') + "\nnonce " + QByteArray(48, 'c') + "\n" +
           QByteArray(64, 'x');
}

using Kind = Reason::Kind;

}  // namespace

Q_DECLARE_METATYPE(sirano::Reason::Kind)

class EnvelopeTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QByteArray sealed_;  // smallStore() encrypted with kPassword

    QString path(const QString& name) const { return dir_.filePath(name); }

    // Loads path with kPassword; returns the refusal's reason kind, and checks the message
    // names the file.
    static std::optional<Kind> refusal(const QString& file, DataFileAccess access) {
        Generator gen;
        try {
            loadDataFile(file, gen, &access);
        } catch (const LoadError& e) {
            if (!e.message().contains(file))
                qWarning("message does not name the file: %s", qPrintable(e.message()));
            return e.message().contains(file) ? std::optional(e.reason().kind) : std::nullopt;
        }
        return std::nullopt;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        TestStore s = smallStore();
        const DataFileKey key = DataFileKey::create(kPassword, kTestParams);
        saveDataFile(path(QStringLiteral("small.dat")), s.generator, s.siteTable, s.settings, &key);
        sealed_ = readAll(path(QStringLiteral("small.dat")));
    }

    void fullTableRoundTripSealsThePlainBytes() {
        TestStore s = fullTable();
        TestStore plainTwin = fullTable();
        const DataFileKey key = DataFileKey::create(kPassword, kTestParams);
        const QString sealedPath = path(QStringLiteral("full.dat"));
        const QString plainPath = path(QStringLiteral("full-plain.dat"));
        saveDataFile(sealedPath, s.generator, s.siteTable, s.settings, &key);
        saveDataFile(plainPath, plainTwin.generator, plainTwin.siteTable, plainTwin.settings);

        const QByteArray file = readAll(sealedPath);
        QVERIFY(file.startsWith("#SIRANO-ENCRYPTED\nversion 1\nargon2id passes 1 memory 65536\n"));
        QVERIFY(!file.contains("site1.example"));
        DataFileAccess access{kPassword, std::nullopt};
        // Exactly the plain format's bytes inside.
        QCOMPARE(plainDataFileBytes(file, sealedPath, &access).bytes(), readAll(plainPath));
        QVERIFY(access.key);
        QCOMPARE(access.key->salt(), key.salt());

        TestStore back;
        DataFileAccess fresh{kPassword, std::nullopt};
        const StoreContents loaded = loadDataFile(sealedPath, back.generator, &fresh);
        QCOMPARE(loaded.settings, s.settings);
        QCOMPARE(loaded.siteTable.siteCount(), kTableSlots);
        for (int i = 0; i < kTableSlots; ++i)
            QVERIFY2(loaded.siteTable.at(i) == s.siteTable.at(i), qPrintable(QString::number(i)));
    }

    void everySaveTakesAFreshNonceAndKeepsTheKey() {
        TestStore a = smallStore();
        TestStore b = smallStore();  // same generator state: the same plain bytes
        const DataFileKey key = DataFileKey::create(kPassword, kTestParams);
        saveDataFile(path(QStringLiteral("a.dat")), a.generator, a.siteTable, a.settings, &key);
        saveDataFile(path(QStringLiteral("b.dat")), b.generator, b.siteTable, b.settings, &key);
        const QByteArray first = readAll(path(QStringLiteral("a.dat")));
        const QByteArray second = readAll(path(QStringLiteral("b.dat")));
        const qsizetype nonce = after(first, "nonce ");
        QCOMPARE(first.left(nonce), second.left(nonce));  // parameters, salt, check
        QVERIFY(first.mid(nonce, 48) != second.mid(nonce, 48));
        QVERIFY(first.mid(headerEnd(first)) != second.mid(headerEnd(second)));

        // A key already held opens the file without a derivation (no password given).
        DataFileAccess held{QString(), DataFileKey::derive(kPassword, key.params(), key.salt())};
        QElapsedTimer timer;
        timer.start();
        Generator gen;
        QCOMPARE(loadDataFile(path(QStringLiteral("a.dat")), gen, &held).settings, a.settings);
        QVERIFY2(timer.elapsed() < 150, "a held key must not be derived again");
    }

    void tampering_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<Kind>("reason");
        const QByteArray& s = sealed_;
        const qsizetype contents = headerEnd(s);
        QTest::newRow("magic, first byte") << replaced(s, 0, '"') << Kind::EnvelopeDamaged;
        QTest::newRow("magic, a letter") << flipped(s, 5) << Kind::EnvelopeDamaged;
        QTest::newRow("magic, its line end") << replaced(s, 17, ' ') << Kind::EnvelopeDamaged;
        QTest::newRow("version") << replaced(s, after(s, "version "), '2') << Kind::EnvelopeVersion;
        QTest::newRow("version, not a number")
            << replaced(s, after(s, "version "), 'x') << Kind::EnvelopeDamaged;
        QTest::newRow("passes") << replaced(s, after(s, "argon2id passes "), '2')
                                << Kind::WrongMasterPassword;
        QTest::newRow("memory") << replaced(s, after(s, "argon2id passes 1 memory ") + 4, '7')
                                << Kind::WrongMasterPassword;
        QTest::newRow("salt") << replaced(s, after(s, "salt "),
                                          s[after(s, "salt ")] == 'f' ? 'e' : 'f')
                              << Kind::WrongMasterPassword;
        QTest::newRow("salt, not hexadecimal")
            << replaced(s, after(s, "salt "), 'G') << Kind::EnvelopeDamaged;
        QTest::newRow("check") << replaced(s, after(s, "check ") + 31,
                                           s[after(s, "check ") + 31] == '0' ? '1' : '0')
                               << Kind::WrongMasterPassword;
        QTest::newRow("nonce") << replaced(s, after(s, "nonce ") + 3,
                                           s[after(s, "nonce ") + 3] == '0' ? '1' : '0')
                               << Kind::ContentsNotAuthentic;
        QTest::newRow("ciphertext, first byte")
            << flipped(s, contents) << Kind::ContentsNotAuthentic;
        QTest::newRow("ciphertext, middle")
            << flipped(s, (contents + s.size()) / 2) << Kind::ContentsNotAuthentic;
        QTest::newRow("tag, last byte") << flipped(s, s.size() - 1) << Kind::ContentsNotAuthentic;
        QTest::newRow("cut by one byte") << s.left(s.size() - 1) << Kind::ContentsNotAuthentic;
        QTest::newRow("cut inside the tag") << s.left(contents + 10) << Kind::EnvelopeDamaged;
        QTest::newRow("cut after the header") << s.left(contents) << Kind::EnvelopeDamaged;
        QTest::newRow("cut inside the header")
            << s.left(after(s, "salt ") + 5) << Kind::EnvelopeDamaged;
        QTest::newRow("one byte appended") << s + '\n' << Kind::ContentsNotAuthentic;
        QTest::newRow("a plain file appended")
            << s + readAll(kStoreFixtures + QStringLiteral("mixed.dat"))
            << Kind::ContentsNotAuthentic;
    }
    void tampering() {
        QFETCH(QByteArray, file);
        QFETCH(Kind, reason);
        const QString target = path(QStringLiteral("tampered.dat"));
        writeAll(target, file);
        QCOMPARE(refusal(target, DataFileAccess{kPassword, std::nullopt}), reason);
        QCOMPARE(readAll(target), file);
    }

    void hostileParametersAreRefusedBeforeAnyWork_data() {
        QTest::addColumn<QByteArray>("kdfLine");
        QTest::addColumn<Kind>("reason");
        QTest::newRow("2 GiB") << QByteArray("argon2id passes 1 memory 2097152")
                               << Kind::EnvelopeParameters;
        QTest::newRow("4 TiB") << QByteArray("argon2id passes 1 memory 4294967295")
                               << Kind::EnvelopeParameters;
        QTest::newRow("a million passes")
            << QByteArray("argon2id passes 1000000 memory 65536") << Kind::EnvelopeParameters;
        QTest::newRow("17 passes")
            << QByteArray("argon2id passes 17 memory 65536") << Kind::EnvelopeParameters;
        QTest::newRow("1 GiB, 16 passes")
            << QByteArray("argon2id passes 16 memory 1048576") << Kind::EnvelopeParameters;
        QTest::newRow("no passes")
            << QByteArray("argon2id passes 0 memory 65536") << Kind::EnvelopeParameters;
        QTest::newRow("below 64 MiB")
            << QByteArray("argon2id passes 3 memory 8") << Kind::EnvelopeParameters;
        QTest::newRow("beyond 32 bits")
            << QByteArray("argon2id passes 1 memory 18446744073709551617") << Kind::EnvelopeDamaged;
        QTest::newRow("negative") << QByteArray("argon2id passes -1 memory 65536")
                                  << Kind::EnvelopeDamaged;
        QTest::newRow("leading zero")
            << QByteArray("argon2id passes 01 memory 65536") << Kind::EnvelopeDamaged;
        QTest::newRow("another algorithm")
            << QByteArray("scrypt passes 1 memory 65536") << Kind::EnvelopeDamaged;
    }
    void hostileParametersAreRefusedBeforeAnyWork() {
        QFETCH(QByteArray, kdfLine);
        QFETCH(Kind, reason);
        const QString target = path(QStringLiteral("hostile.dat"));
        writeAll(target, envelopeAsking(kdfLine));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(refusal(target, DataFileAccess{kPassword, std::nullopt}), reason);
        // The cheapest derivation takes a quarter second here; a refusal takes microseconds.
        QVERIFY2(timer.elapsed() < 100, qPrintable(QString::number(timer.elapsed())));
    }

    void theHighestAcceptedWorkIsWithinTheLimits() {
        QVERIFY(acceptableKdfParams({4, kMaxKdfMemKiB}));
        QVERIFY(!acceptableKdfParams({5, kMaxKdfMemKiB}));
        QVERIFY(acceptableKdfParams({kMaxKdfPasses, kMinKdfMemKiB}));
        const KdfParams calibrated = calibratedKdfParams();
        QVERIFY(acceptableKdfParams(calibrated));
        QVERIFY(calibrated.memKiB >= 64 * 1024);
    }

    void wrongOrMissingPassword_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("access");
        QTest::addColumn<Kind>("reason");
        QTest::newRow("wrong") << QStringLiteral("correct horsf") << true
                               << Kind::WrongMasterPassword;
        QTest::newRow("case differs")
            << QStringLiteral("Correct horse") << true << Kind::WrongMasterPassword;
        QTest::newRow("empty") << QString() << true << Kind::WrongMasterPassword;
        QTest::newRow("not asked") << QString() << false << Kind::NeedsMasterPassword;
    }
    void wrongOrMissingPassword() {
        QFETCH(QString, password);
        QFETCH(bool, access);
        QFETCH(Kind, reason);
        const QString target = path(QStringLiteral("small.dat"));
        DataFileAccess given{password, std::nullopt};
        Generator gen;
        try {
            loadDataFile(target, gen, access ? &given : nullptr);
            QFAIL("loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.reason().kind, reason);
            QVERIFY(e.message().contains(target));
        }
        QVERIFY(!given.key);
        QCOMPARE(readAll(target), sealed_);
    }

    void plainFilesAreUntouched_data() {
        QTest::addColumn<QString>("fixture");
        QTest::newRow("mixed") << QStringLiteral("mixed.dat");
        QTest::newRow("empty table") << QStringLiteral("empty-table.dat");
        for (const QString& name : QDir(kStoreFixtures + QStringLiteral("bad"))
                                       .entryList({QStringLiteral("*.dat")}, QDir::Files))
            QTest::newRow(qPrintable(name)) << QStringLiteral("bad/") + name;
    }
    void plainFilesAreUntouched() {
        QFETCH(QString, fixture);
        const QByteArray bytes = readAll(kStoreFixtures + fixture);
        QVERIFY(!isEnvelope(bytes));
        DataFileAccess access{kPassword, std::nullopt};
        const PlainBytes plain = plainDataFileBytes(bytes, fixture, &access);
        QCOMPARE(plain.bytes(), bytes);
        QCOMPARE(plain.bytes().constData(), bytes.constData());  // no copy
        QVERIFY(!access.key);
    }

    void plainSavesAreTheFormatsBytes() {
        // A title naming the envelope on the second line leaves a file plain.
        TestStore s = smallStore();
        s.siteTable.append([] {
            SiteEntry e;
            e.title = QStringLiteral("#SIRANO-ENCRYPTED");
            return e;
        }());
        TestStore twin = s;
        const QString target = path(QStringLiteral("plain.dat"));
        saveDataFile(target, s.generator, s.siteTable, s.settings);
        const QByteArray bytes = readAll(target);
        QCOMPARE(bytes, serializeDataFile(twin.siteTable, twin.settings, twin.generator));
        QVERIFY(!isEnvelope(bytes));
        DataFileAccess access{kPassword, std::nullopt};
        QCOMPARE(loadDataFile(target, s.generator, &access).siteTable.siteCount(), 2);
        QVERIFY(!access.key);
    }
};

QTEST_GUILESS_MAIN(EnvelopeTest)
#include "tst_envelope.moc"
