// What the benchmarks measure of a process, and the one option they share.
#pragma once

#include <sys/resource.h>
#include <QFile>
#include <QStringList>

namespace sirano::bench {

// CPU time (user and system) of this process so far.
inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident memory of a process (this one by default); -1 when it cannot be read.
inline long rssKiB(qint64 pid = 0) {
    QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// --idle-seconds N: how long the idle ticks are watched.
inline int idleSeconds(const QStringList& args, int fallback = 30) {
    const qsizetype i = args.indexOf(QStringLiteral("--idle-seconds"));
    return i > 0 ? args.value(i + 1).toInt() : fallback;
}

}  // namespace sirano::bench
