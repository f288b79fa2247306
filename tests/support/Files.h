// Whole files as the tests read and write them.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

namespace sirano::test {

// Empty when the file cannot be read.
inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A test that cannot set up its file has nothing to test.
inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

}  // namespace sirano::test
