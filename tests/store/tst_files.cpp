// The data file on disk: atomic save, its mode, failures that keep the old file, a save killed
// mid-way; the data folder and its lock.
#include "store/DataFile.h"
#include "store/DataFolder.h"

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
#include <csignal>

using namespace sirano;

namespace {

// A table big enough that a save takes a while: 1001 entries of 20 fields.
AppState bigState() {
    AppState state;
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

AppState smallState(const QString& title) {
    AppState state;
    SiteEntry e;
    e.title = title;
    state.siteTable.append(e);
    return state;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

// Child modes of this executable, for the tests that need a second process.
int saveForever(const QString& path) {
    AppState state = bigState();
    for (;;)
        saveDataFile(state, path);
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
        AppState state = bigState();
        saveDataFile(state, path);
        AppState loaded;
        loadDataFile(loaded, path);
        QCOMPARE(loaded.settings, state.settings);
        QCOMPARE(loaded.siteTable.siteCount(), state.siteTable.siteCount());
        for (int i = 0; i < state.siteTable.siteCount(); ++i)
            QVERIFY(loaded.siteTable.at(i) == state.siteTable.at(i));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 QStringList{QLatin1String(kDataFileName)});
    }

    void newFileIsTheUsersAlone() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        const mode_t oldMask = ::umask(0);
        AppState state = smallState(QStringLiteral("a"));
        saveDataFile(state, path);
        ::umask(oldMask);
        QCOMPARE(modeOf(path), mode_t{0600});
    }

    void existingFileKeepsItsMode() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        AppState state = smallState(QStringLiteral("a"));
        saveDataFile(state, path);
        ::chmod(QFile::encodeName(path).constData(), 0640);
        saveDataFile(state, path);
        QCOMPARE(modeOf(path), mode_t{0640});
    }

    void readOnlyFolderKeepsTheOldFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        AppState old = smallState(QStringLiteral("old"));
        saveDataFile(old, path);
        const QByteArray before = readAll(path);
        if (!makeReadOnly(dir.path())) {
            makeWritable(dir.path());
            QSKIP("this system cannot make a folder read-only for the test's user");
        }
        AppState changed = smallState(QStringLiteral("new"));
        try {
            saveDataFile(changed, path);
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

    void failedWriteKeepsTheOldFile() {
        // A write that fails part-way (disk full, here a file size limit) leaves the old file
        // whole.
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        AppState old = smallState(QStringLiteral("old"));
        saveDataFile(old, path);
        const QByteArray before = readAll(path);

        AppState big = bigState();
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        bool failed = false;
        QString message;
        try {
            saveDataFile(big, path);
        } catch (const SiranoError& e) {
            failed = true;
            message = e.message();
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(failed);
        QVERIFY2(message.contains(path), qPrintable(message));
        QCOMPARE(readAll(path), before);
    }

    void missingFolderFails() {
        QTemporaryDir dir;
        AppState state = smallState(QStringLiteral("a"));
        const QString path = dir.filePath(QStringLiteral("no/such/folder/SIRANO.DAT"));
        try {
            saveDataFile(state, path);
            QFAIL("saved");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kPathFileAccess);
            QVERIFY2(e.message().contains(path), qPrintable(e.message()));
        }
    }

    void killedSaveLeavesALoadableFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kDataFileName));
        AppState first = smallState(QStringLiteral("first"));
        saveDataFile(first, path);
        const AppState big = bigState();

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

            AppState loaded;
            loadDataFile(loaded, path);  // throws if the kill left a broken file
            if (loaded.siteTable.siteCount() == big.siteTable.siteCount())
                QVERIFY(loaded.siteTable.at(1000) == big.siteTable.at(1000));
            else
                QCOMPARE(loaded.siteTable.at(0).title, QStringLiteral("first"));
        }
        QVERIFY2(killedWhileWriting > 0, "no kill came while a save was writing");
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
        const QString folder = locateDataFolder(exe.path());
        const QString again = locateDataFolder(exe.path());
        qputenv("XDG_DATA_HOME", oldXdg);
        QCOMPARE(folder, home.filePath(QStringLiteral("share/sirano")));
        QCOMPARE(again, folder);
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(modeOf(folder), mode_t{0700});
    }

    void lockInOneProcess() {
        QTemporaryDir dir;
        QVERIFY(!DataFolderLock::isHeld(dir.path()));
        {
            auto lock = DataFolderLock::tryAcquire(dir.path());
            QVERIFY(lock);
            QVERIFY(DataFolderLock::isHeld(dir.path()));
        }
        QVERIFY(!DataFolderLock::isHeld(dir.path()));
    }

    void lockOfAnotherProcess() {
        QTemporaryDir dir;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--hold-lock"), dir.path()});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("locked"));
        QVERIFY(DataFolderLock::isHeld(dir.path()));
        QVERIFY(!DataFolderLock::tryAcquire(dir.path()));

        // The lock of a process that died is taken over.
        child.kill();
        QVERIFY(child.waitForFinished());
        QVERIFY(!DataFolderLock::isHeld(dir.path()));
        QVERIFY(DataFolderLock::tryAcquire(dir.path()));
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--save-forever") == 0)
        return saveForever(QFile::decodeName(argv[2]));
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0)
        return holdLock(QFile::decodeName(argv[2]));
    QCoreApplication app(argc, argv);
    FilesTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_files.moc"
