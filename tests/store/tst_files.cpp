// The data file on disk: atomic save, its mode, failures that keep the old file, a save killed
// mid-way; the data folder and its lock.
#include "store/DataFile.h"
#include "store/DataFolder.h"
#include "store/SafeFile.h"
#include "support/Files.h"
#include "support/StoreFiles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

using namespace sirano;
using namespace sirano::test;

namespace {

// A table big enough that a save takes a while: 1001 entries of 20 fields.
TestStore bigState() {
    TestStore state;
    state.settings.masterPassword = QStringLiteral("big");
    for (int i = 0; i < kTableSlots; ++i) {
        SiteEntry e;
        e.title = QStringLiteral("サイト %1").arg(i);
        e.url = QStringLiteral("https://site%1.example/login").arg(i);
        for (int j = 0; j < 20; ++j)
            e.setField(j, SiteField{0, static_cast<int16_t>(j), QStringLiteral("text"),
                                    QStringLiteral("field%1").arg(j),
                                    QStringLiteral("値-%1-%2-abcdefghij").arg(i).arg(j)});
        state.siteTable.append(std::move(e));
    }
    return state;
}

TestStore smallState(const QString& title) {
    TestStore state;
    SiteEntry e;
    e.title = title;
    state.siteTable.append(e);
    return state;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

// True when process pid has a file inside folder open.
bool writesInto(qint64 pid, const QString& folder) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget().startsWith(folder + u'/'))
            return true;
    }
    return false;
}

QStringList filesIn(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Child modes of this executable, for the tests that need a second process.
int saveForever(const QString& path) {
    TestStore state = bigState();
    for (;;)
        saveStore(state, path);
}

// Saves an entry titled with titleLength "x" under a file size limit, SIGXFSZ ignored as a full
// disk would answer: the write itself fails. Prints "saved" or the error's message.
// With encrypted, the save seals the file with a key of the password "pw".
int saveLimited(const QString& path, int titleLength, rlim_t limit, bool encrypted) {
    std::signal(SIGXFSZ, SIG_IGN);
    std::optional<DataFileKey> key;
    if (encrypted)
        key = DataFileKey::create(u"pw", {1, kMinKdfMemKiB});
    rlimit r{};
    ::getrlimit(RLIMIT_FSIZE, &r);
    r.rlim_cur = limit;
    if (::setrlimit(RLIMIT_FSIZE, &r) != 0)
        return 2;
    TestStore state = smallState(QString(titleLength, u'x'));
    try {
        saveDataFile(path, state.generator, state.siteTable, state.settings, key ? &*key : nullptr);
        std::puts("saved");
        return 0;
    } catch (const SiranoError& e) {
        std::puts(e.message().toUtf8().constData());
        return 1;
    }
}

int holdLock(const QString& folder) {
    auto lock = DataFolderLock::tryAcquire(folder);
    std::puts(lock ? "locked" : "refused");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

// Makes folder refuse new files, even for root; false when this system cannot.
bool makeReadOnly(const QString& folder) {
    ::chmod(QFile::encodeName(folder).constData(), 0555);
    const QString probe = QDir(folder).filePath(QStringLiteral("probe"));
    QFile f(probe);
    if (!f.open(QIODevice::WriteOnly))
        return true;
    f.remove();
    return QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), folder}) == 0 &&
           !QFile(probe).open(QIODevice::WriteOnly);
}

void makeWritable(const QString& folder) {
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), folder});
    ::chmod(QFile::encodeName(folder).constData(), 0755);
}

}  // namespace

class FilesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void saveThenLoad() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore state = bigState();
        saveStore(state, path);
        TestStore loaded;
        loadStore(loaded, path);
        QCOMPARE(loaded.settings, state.settings);
        QCOMPARE(loaded.siteTable.siteCount(), state.siteTable.siteCount());
        for (int i = 0; i < state.siteTable.siteCount(); ++i)
            QVERIFY(loaded.siteTable.at(i) == state.siteTable.at(i));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 QStringList{QLatin1String(kDataFileName)});
    }

    // Every save leaves the file readable by its user alone, whatever was there and whatever the
    // umask: the values are only scrambled.
    void everySaveLeavesOwnerOnlyMode_data() {
        QTest::addColumn<int>("oldMode");  // -1: no file yet
        QTest::addColumn<int>("umask");
        QTest::newRow("new file, umask 0") << -1 << 0;
        QTest::newRow("new file, umask 022") << -1 << 022;
        QTest::newRow("new file, umask 0277") << -1 << 0277;
        QTest::newRow("existing 0644") << 0644 << 022;
        QTest::newRow("existing 0666, umask 0") << 0666 << 0;
        QTest::newRow("existing 0400") << 0400 << 022;
        QTest::newRow("existing 0600") << 0600 << 022;
    }
    void everySaveLeavesOwnerOnlyMode() {
        QFETCH(int, oldMode);
        QFETCH(int, umask);
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore state = smallState(QStringLiteral("a"));
        if (oldMode >= 0) {
            saveStore(state, path);
            ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(oldMode));
        }
        const mode_t oldMask = ::umask(static_cast<mode_t>(umask));
        saveStore(state, path);
        ::umask(oldMask);
        QCOMPARE(modeOf(path), mode_t{0600});
        TestStore loaded;
        loadStore(loaded, path);
        QCOMPARE(loaded.siteTable.at(0).title, QStringLiteral("a"));
    }

    void saveFollowsASymbolicLink() {
        QTemporaryDir dir;
        const QString real = dir.filePath(QStringLiteral("elsewhere.dat"));
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore first = smallState(QStringLiteral("first"));
        saveStore(first, real);
        QVERIFY(QFile::link(real, path));
        TestStore second = smallState(QStringLiteral("second"));
        saveStore(second, path);
        QVERIFY(QFileInfo(path).isSymLink());
        TestStore loaded;
        loadStore(loaded, real);
        QCOMPARE(loaded.siteTable.at(0).title, QStringLiteral("second"));
    }

    void readOnlyFolderKeepsTheOldFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore old = smallState(QStringLiteral("old"));
        saveStore(old, path);
        const QByteArray before = readAll(path);
        if (!makeReadOnly(dir.path())) {
            makeWritable(dir.path());
            QSKIP("this system cannot make a folder read-only for the test's user");
        }
        TestStore changed = smallState(QStringLiteral("new"));
        try {
            saveStore(changed, path);
            makeWritable(dir.path());
            QFAIL("saved into a read-only folder");
        } catch (const SiranoError& e) {
            makeWritable(dir.path());
            QCOMPARE(e.number(), err::kPathFileAccess);
            QVERIFY2(e.message().contains(path), qPrintable(e.message()));
            QVERIFY2(e.message().contains(QStringLiteral("unchanged")), qPrintable(e.message()));
        }
        QCOMPARE(readAll(path), before);
    }

    // A write that fails (disk full; here a file size limit) fails the save with the system's
    // reason and leaves the old file byte for byte, at every size: below the write buffer's size
    // too, where a failure shows only when the buffer is flushed.
    void failedWriteKeepsTheOldFile_data() {
        QTest::addColumn<int>("titleLength");
        QTest::addColumn<int>("limit");  // RLIMIT_FSIZE in bytes
        QTest::addColumn<bool>("encrypted");
        for (const int length : {10, 3000, 12000, 40000}) {
            for (const int limit : {0, 1, 100, 4096, 16384, 65536}) {
                QTest::addRow("title %d, limit %d", length, limit) << length << limit << false;
            }
        }
        // An encrypted file's save goes the same safe way.
        QTest::addRow("encrypted, limit 100") << 10 << 100 << true;
        QTest::addRow("encrypted, title 40000, limit 16384") << 40000 << 16384 << true;
    }
    void failedWriteKeepsTheOldFile() {
        QFETCH(int, titleLength);
        QFETCH(int, limit);
        QFETCH(bool, encrypted);
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore old = smallState(QStringLiteral("old"));
        if (encrypted) {
            const DataFileKey key = DataFileKey::create(u"pw", {1, kMinKdfMemKiB});
            saveDataFile(path, old.generator, old.siteTable, old.settings, &key);
        } else {
            saveStore(old, path);
        }
        const QByteArray before = readAll(path);
        TestStore wanted = smallState(QString(titleLength, u'x'));
        const qsizetype size =
            serializeDataFile(wanted.siteTable, wanted.settings, wanted.generator).size();

        QProcess child;
        child.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--save-limited"), path, QString::number(titleLength),
             QString::number(limit), encrypted ? QStringLiteral("1") : QStringLiteral("0")});
        QVERIFY(child.waitForFinished(30000));
        const QString said = QString::fromUtf8(child.readAllStandardOutput()).trimmed();

        QCOMPARE(filesIn(dir.path()), QStringList{QLatin1String(kDataFileName)});
        if (size <= limit && !encrypted) {
            QCOMPARE(child.exitCode(), 0);
            TestStore loaded;
            loadStore(loaded, path);
            QCOMPARE(loaded.siteTable.at(0).title.size(), titleLength);
            return;
        }
        QCOMPARE(child.exitCode(), 1);
        QVERIFY2(said.contains(path), qPrintable(said));
        QVERIFY2(said.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("unchanged")), qPrintable(said));
        QCOMPARE(readAll(path), before);
    }

    void missingFolderFails() {
        QTemporaryDir dir;
        TestStore state = smallState(QStringLiteral("a"));
        const QString path = dir.filePath(QStringLiteral("no/such/folder/SIRANO.DAT"));
        try {
            saveStore(state, path);
            QFAIL("saved");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kPathFileAccess);
            QVERIFY2(e.message().contains(path), qPrintable(e.message()));
        }
    }

    void killedSaveLeavesALoadableFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore first = smallState(QStringLiteral("first"));
        saveStore(first, path);
        const TestStore big = bigState();

        int killedWhileWriting = 0;
        for (int round = 0; round < 8; ++round) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--save-forever"), path});
            QVERIFY(child.waitForStarted());
            // Odd rounds kill as soon as the child holds a file of the folder open (the save's
            // temporary file, which may have no name), even ones at a time.
            if (round % 2 == 1) {
                QElapsedTimer t;
                t.start();
                while (!writesInto(child.processId(), dir.path()) && t.elapsed() < 10000)
                    ;
                killedWhileWriting += writesInto(child.processId(), dir.path()) ? 1 : 0;
            } else {
                QThread::msleep(100 + 37 * round);
            }
            child.kill();
            QVERIFY(child.waitForFinished());

            TestStore loaded;
            loadStore(loaded, path);  // throws if the kill left a broken file
            if (loaded.siteTable.siteCount() == big.siteTable.siteCount())
                QVERIFY(loaded.siteTable.at(1000) == big.siteTable.at(1000));
            else
                QCOMPARE(loaded.siteTable.at(0).title, QStringLiteral("first"));
        }
        QVERIFY2(killedWhileWriting > 0, "no kill came while a save was writing");

        // Whatever temporary files the kills left (full copies of the secrets) go when the
        // folder's lock is next taken.
        const auto lock = DataFolderLock::tryAcquire(dir.path());
        QVERIFY(lock);
        QCOMPARE(filesIn(dir.path()),
                 (QStringList{QLatin1String(kDataFileName), QLatin1String(kLockFileName)}));
    }

    void lockRemovesOnlyStaleTemporaries() {
        QTemporaryDir dir;
        const QDir folder(dir.path());
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--hold-lock"), dir.path()});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("locked"));

        const QStringList stale{QStringLiteral("SIRANO.DAT.Ab12Cd"),
                                QStringLiteral("SIRANO.DAT.zzzzzz")};
        const QStringList kept{
            QStringLiteral("SIRANO.DAT"),         QStringLiteral("SIRANO.DAT.bak"),
            QStringLiteral("SIRANO.DAT.Ab12Cd7"), QStringLiteral("SIRANO.DAT.ab-12c"),
            QStringLiteral("sirano.dat.Ab12Cd"),  QStringLiteral("OTHER.DAT.Ab12Cd"),
            QStringLiteral("error.log")};
        for (const QString& name : stale + kept)
            writeFile(folder.filePath(name), "secret");
        // Not regular files of ours: a link (its target may be anything) and a folder.
        QVERIFY(QFile::link(folder.filePath(QStringLiteral("error.log")),
                            folder.filePath(QStringLiteral("SIRANO.DAT.Link12"))));
        QVERIFY(folder.mkdir(QStringLiteral("SIRANO.DAT.Dir123")));

        // While another process holds the lock its save may be writing one of them: all stay.
        QCOMPARE(DataFolderLock::acquire(dir.path()).outcome,
                 LockAttempt::Outcome::HeldByLiveProcess);
        QVERIFY(folder.exists(stale.first()));
        child.kill();
        QVERIFY(child.waitForFinished());

        const auto lock = DataFolderLock::tryAcquire(dir.path());
        QVERIFY(lock);
        QStringList expected =
            kept + QStringList{QStringLiteral("SIRANO.DAT.Link12"),
                               QStringLiteral("SIRANO.DAT.Dir123"), QLatin1String(kLockFileName)};
        expected.sort();
        QCOMPARE(filesIn(dir.path()), expected);
    }

    // Anything but a regular file is refused at once: a named pipe would block the load forever.
    // Another program (a sync tool, a copy in place) cuts the file short and writes it again while
    // it is loaded: each load gives the whole table or a LoadError, and the program never dies of
    // it (a mapped file died of SIGBUS when its pages went away under the parse).
    void loadWhileAnotherProgramCutsTheFileShort() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        TestStore state = bigState();
        saveStore(state, path);
        const QByteArray whole = readAll(path);
        // Inside a quoted text, so that a cut file never parses as a shorter table.
        const qsizetype cut = whole.indexOf(",\"", whole.size() / 2) + 3;
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        std::atomic<bool> stop = false;
        std::atomic<int> rewrites = 0;
        std::thread other([&] {
            while (!stop) {
                if (::ftruncate(fd, cut) != 0 ||
                    ::pwrite(fd, whole.constData(), static_cast<size_t>(whole.size()), 0) !=
                        whole.size())
                    return;
                ++rewrites;
            }
        });
        int wholeLoads = 0;
        int failed = 0;
        int shorter = 0;
        for (int i = 0; i < 60; ++i) {
            try {
                TestStore loaded;
                loadStore(loaded, path);
                if (loaded.siteTable.siteCount() == kTableSlots)
                    ++wholeLoads;
                else
                    ++shorter;
            } catch (const LoadError&) {
                ++failed;
            }
        }
        stop = true;
        other.join();
        ::close(fd);
        QVERIFY(rewrites > 0);  // the other program did cut the file meanwhile
        QCOMPARE(shorter, 0);
        QCOMPARE(wholeLoads + failed, 60);
    }

    void loadRefusesWhatIsNoRegularFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("device") << "device";
    }
    void loadRefusesWhatIsNoRegularFile() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString path = dir.filePath(QLatin1String(kDataFileName));
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir(dir.path()).mkdir(QLatin1String(kDataFileName)));
        else
            path = QStringLiteral("/dev/zero");
        QElapsedTimer t;
        t.start();
        try {
            TestStore state;
            loadStore(state, path);
            QFAIL("loaded");
        } catch (const LoadError& e) {
            QCOMPARE(e.number(), err::kPathFileAccess);
            QCOMPARE(e.reasonText(Language::English), QStringLiteral("it is not a regular file"));
        }
        QVERIFY(t.elapsed() < 5000);
    }

    void dataFolderBesideTheExecutable() {
        QTemporaryDir exe;
        QFile marker(QDir(exe.path()).filePath(QLatin1String(kDataFileName)));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QCOMPARE(locateDataFolder(exe.path()), exe.path());
    }

    void perUserDataFolder() {
        QTemporaryDir exe;
        QTemporaryDir home;
        const QByteArray oldXdg = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("share"))));
        const QString expected = home.filePath(QStringLiteral("share/sirano"));
        // Only asking where it is creates nothing (sirano-cli's read-only commands).
        const QString asked = dataFolderPath(exe.path());
        const bool createdByAsking = QFileInfo::exists(expected);
        const QString folder = locateDataFolder(exe.path());
        const QString again = locateDataFolder(exe.path());
        qputenv("XDG_DATA_HOME", oldXdg);
        QCOMPARE(asked, expected);
        QVERIFY(!createdByAsking);
        QCOMPARE(folder, expected);
        QCOMPARE(again, folder);
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(modeOf(folder), mode_t{0700});
    }

    void lockInOneProcess() {
        QTemporaryDir dir;
        {
            auto lock = DataFolderLock::tryAcquire(dir.path());
            QVERIFY(lock);
            // Held by this very process, it is still held.
            QCOMPARE(DataFolderLock::acquire(dir.path()).outcome,
                     LockAttempt::Outcome::HeldByLiveProcess);
        }
        QVERIFY(DataFolderLock::tryAcquire(dir.path()));
    }

    void lockOfAnotherProcess() {
        QTemporaryDir dir;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--hold-lock"), dir.path()});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("locked"));
        const LockAttempt refused = DataFolderLock::acquire(dir.path());
        QCOMPARE(refused.outcome, LockAttempt::Outcome::HeldByLiveProcess);
        QVERIFY(!refused.lock);
        QVERIFY_THROWS_EXCEPTION(FolderInUse, DataFolderLock::forWriting(dir.path()));

        // The lock of a process that died is taken over.
        child.kill();
        QVERIFY(child.waitForFinished());
        const LockAttempt taken = DataFolderLock::acquire(dir.path());
        QCOMPARE(taken.outcome, LockAttempt::Outcome::Taken);
        QVERIFY(taken.lock);
    }

    // In a shared sticky folder (/tmp), a link that another user made never has us replace what
    // it points to, nor create a file where it points; our own links are followed as before.
    void linksOfOtherUsersAreNotWrittenThrough_data() {
        QTest::addColumn<bool>("ours");
        QTest::addColumn<bool>("dangling");
        QTest::newRow("another user's link to my file") << false << false;
        QTest::newRow("another user's dangling link") << false << true;
        QTest::newRow("my own link") << true << false;
    }
    void linksOfOtherUsersAreNotWrittenThrough() {
        QFETCH(bool, ours);
        QFETCH(bool, dangling);
        if (!ours && ::geteuid() != 0)
            QSKIP("needs root to make a link owned by another user");
        QTemporaryDir dir;
        const QString shared = dir.filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkdir(shared));
        QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
        const QString victim = dir.filePath(QStringLiteral("mine.txt"));
        writeFile(victim, "my own file\n");
        const QString target = dangling ? dir.filePath(QStringLiteral("chosen")) : victim;
        const QString link = shared + QStringLiteral("/out.json");
        QVERIFY(QFile::link(target, link));
        if (!ours)
            QCOMPARE(::lchown(QFile::encodeName(link).constData(), 65534, 65534), 0);

        const auto failed = writeFileAtomically(link, "written\n", ExistingFile::Replace);
        if (ours) {
            QVERIFY(!failed);
            QCOMPARE(readAll(victim), QByteArray("written\n"));
            return;
        }
        QVERIFY(failed);
        QVERIFY(failed->reason.kind == Reason::Kind::ForeignLink);
        QCOMPARE(readAll(victim), QByteArray("my own file\n"));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("chosen"))));
        QCOMPARE(QDir(shared).entryList(QDir::Files | QDir::System | QDir::Hidden).size(), 1);
    }

    void lockThatCannotBeMade() {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("no/such/folder"));
        const LockAttempt nowhere = DataFolderLock::acquire(missing);
        QCOMPARE(nowhere.outcome, LockAttempt::Outcome::CannotWrite);
        QCOMPARE(nowhere.reason.text, QString::fromLocal8Bit(std::strerror(ENOENT)));
        if (!makeReadOnly(dir.path())) {
            makeWritable(dir.path());
            QSKIP("this system cannot make a folder read-only for the test's user");
        }
        const LockAttempt attempt = DataFolderLock::acquire(dir.path());
        makeWritable(dir.path());
        QCOMPARE(attempt.outcome, LockAttempt::Outcome::CannotWrite);
        QVERIFY(attempt.reason.kind == Reason::Kind::LockNotAllowed ||
                attempt.reason.kind == Reason::Kind::LockNotWritable);
    }

    // A writer beside the tray decides from one attempt, whatever it answers: a look first and a
    // take after would let a SIRANO that starts in between be written over.
    void lockForWritingTakesItOnce_data() {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("thrown");  // empty: the lock is returned
        QTest::newRow("taken") << int(LockAttempt::Outcome::Taken) << QString();
        QTest::newRow("a live holder")
            << int(LockAttempt::Outcome::HeldByLiveProcess) << QStringLiteral("SIRANO is running");
        QTest::newRow("cannot be made") << int(LockAttempt::Outcome::CannotWrite)
                                        << QStringLiteral("cannot be made: it cannot be created");
    }
    void lockForWritingTakesItOnce() {
        QFETCH(int, outcome);
        QFETCH(QString, thrown);
        QTemporaryDir dir;
        int attempts = 0;
        const auto take = [&](const QString& folder) {
            ++attempts;
            LockAttempt real = DataFolderLock::acquire(folder);
            real.outcome = static_cast<LockAttempt::Outcome>(outcome);
            real.reason = Reason{Reason::Kind::LockNotWritable};
            if (real.outcome != LockAttempt::Outcome::Taken)
                real.lock.reset();
            return real;
        };
        try {
            const auto lock = DataFolderLock::forWriting(dir.path(), take);
            QVERIFY(thrown.isEmpty());
            QVERIFY(lock);
        } catch (const SiranoError& e) {
            QVERIFY2(!thrown.isEmpty() && e.message().contains(thrown), qPrintable(e.message()));
            QCOMPARE(e.number(), err::kPathFileAccess);
            QCOMPARE(dynamic_cast<const FolderInUse*>(&e) != nullptr,
                     outcome == int(LockAttempt::Outcome::HeldByLiveProcess));
        }
        QCOMPARE(attempts, 1);
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--save-forever") == 0)
        return saveForever(QFile::decodeName(argv[2]));
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0)
        return holdLock(QFile::decodeName(argv[2]));
    if (argc == 6 && qstrcmp(argv[1], "--save-limited") == 0)
        return saveLimited(QFile::decodeName(argv[2]), std::atoi(argv[3]),
                           static_cast<rlim_t>(std::atoll(argv[4])), qstrcmp(argv[5], "1") == 0);
    QCoreApplication app(argc, argv);
    FilesTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_files.moc"
