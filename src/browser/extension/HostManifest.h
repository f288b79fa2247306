// The native-messaging host manifest that lets a browser start sirano-host for the extension.
#pragma once

#include <QByteArray>
#include <QString>

namespace sirano {

// For Firefox it allows the extension by id, for Chromium by origin.
QByteArray hostManifest(const QString& hostPath, bool firefox);

}  // namespace sirano
