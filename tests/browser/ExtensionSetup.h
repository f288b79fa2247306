// The companion extension and sirano-host as a browser under test finds them: the host manifest
// names the built sirano-host, and the tray's socket lives in a runtime folder of the test's own
// (XDG_RUNTIME_DIR, inherited by the browser and so by the host it starts).
#pragma once

#include "browser/extension/HostManifest.h"
#include "browser/extension/NativeMessaging.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace sirano::test {

using nativemessaging::kChromiumExtensionId;

// Writes the host manifest into folder (made when missing): for Chromium with allowed_origins,
// for Firefox with allowed_extensions.
inline bool writeHostManifest(const QString& folder, bool firefox) {
    QDir().mkpath(folder);
    QFile file(QDir(folder).filePath(
        QStringLiteral("%1.json").arg(QLatin1String(nativemessaging::kHostName))));
    const QByteArray text = hostManifest(QStringLiteral(SIRANO_HOST_BINARY), firefox);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// A private runtime folder for the test's process and every process it starts.
class RuntimeFolder {
public:
    RuntimeFolder() {
        QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
    }
    QString path() const { return dir_.path(); }
    QString socketPath() const { return QString::fromStdString(nativemessaging::socketPath()); }

private:
    QTemporaryDir dir_;
};

}  // namespace sirano::test
