// Loads and saves a full table (1001 entries x 101 fields, 20-character values) and prints the
// median times next to reading and writing the same number of bytes raw; then the first load in
// a fresh process (this program started again with --load-once) and the resident memory it adds.
#include "bench/Measure.h"
#include "bench/store/FullTable.h"
#include "store/DataFile.h"

#include <fcntl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

using namespace sirano;
using namespace sirano::test;
using sirano::bench::fullTable;

namespace {

constexpr int kRuns = 15;

double medianMs(const std::function<void()>& f) {
    return bench::medianMs(kRuns, f);
}

void writeRaw(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        std::abort();
}

// The plain atomic write: a temporary file, write, fsync, rename, fsync of the folder.
void writeRawAtomic(const QString& path, const QByteArray& bytes) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".tmp";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n <= 0)
            std::abort();
        done += n;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 ||
        ::rename(temporary.constData(), target.constData()) != 0)
        std::abort();
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0)
        std::abort();
    ::close(dir);
}

QByteArray readRaw(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        std::abort();
    return f.readAll();
}

// In the fresh process: the time of one load and the resident memory it leaves.
int loadOnce(const QString& path) {
    const long before = bench::rssKiB();
    const auto start = std::chrono::steady_clock::now();
    TestStore loaded;
    loadStore(loaded, path);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %ld\n", ms, bench::rssKiB() - before);
    return loaded.siteTable.siteCount() == kTableSlots ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load-once") == 0)
        return loadOnce(QString::fromLocal8Bit(argv[2]));
    const QString self = QString::fromLocal8Bit(argv[0]);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("SIRANO.DAT"));
    const QString rawPath = dir.filePath(QStringLiteral("raw.bin"));
    TestStore state = fullTable();
    saveStore(state, path);
    const QByteArray bytes = readRaw(path);

    const double save = medianMs([&] { saveStore(state, path); });
    const double load = medianMs([&] {
        TestStore loaded;
        loadStore(loaded, path);
    });
    const double serialize =
        medianMs([&] { serializeDataFile(state.siteTable, state.settings, state.generator); });
    const double parse = medianMs([&] { parseDataFile(bytes, state.generator, path); });
    const double rawWrite = medianMs([&] { writeRaw(rawPath, bytes); });
    const double rawAtomic = medianMs([&] { writeRawAtomic(rawPath, bytes); });
    const double rawRead = medianMs([&] { readRaw(path); });

    std::printf("full table: %d entries x %d fields, %lld bytes; median of %d runs\n", kTableSlots,
                kFieldColumns, static_cast<long long>(bytes.size()), kRuns);
    std::printf(
        "  save  %8.2f ms   raw write %8.2f ms (atomic raw write %8.2f ms)   ratio %.2f (%.2f)\n",
        save, rawWrite, rawAtomic, save / rawWrite, save / rawAtomic);
    std::printf("  load  %8.2f ms   raw read  %8.2f ms   ratio %.2f\n", load, rawRead,
                load / rawRead);
    std::printf("  of which: serialize %.2f ms, parse %.2f ms\n", serialize, parse);

    std::vector<double> fresh;
    std::vector<long> added;
    for (int i = 0; i < kRuns; ++i) {
        QProcess p;
        p.start(self, {QStringLiteral("--load-once"), path});
        p.waitForFinished(60000);
        const QList<QByteArray> out = p.readAllStandardOutput().trimmed().split(' ');
        if (p.exitCode() != 0 || out.size() != 2) {
            std::printf("  the fresh process failed\n");
            return 1;
        }
        fresh.push_back(out[0].toDouble());
        added.push_back(out[1].toLong());
    }
    std::sort(fresh.begin(), fresh.end());
    std::sort(added.begin(), added.end());
    double loadAverage[1] = {0};
    getloadavg(loadAverage, 1);
    std::printf(
        "  first load in a fresh process: median %.2f ms (min %.2f); resident memory it "
        "adds: median %.1f MiB (load average %.2f)\n",
        fresh[fresh.size() / 2], fresh.front(), added[added.size() / 2] / 1024.0, loadAverage[0]);
    return 0;
}
