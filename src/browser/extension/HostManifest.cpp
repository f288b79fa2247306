#include "HostManifest.h"

#include "NativeMessaging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace sirano {

QByteArray hostManifest(const QString& hostPath, bool firefox) {
    namespace nm = nativemessaging;
    QJsonObject manifest{
        {QStringLiteral("name"), QLatin1String(nm::kHostName)},
        {QStringLiteral("description"),
         QStringLiteral("SIRANO: the tray program's link to its browser extension")},
        {QStringLiteral("path"), hostPath},
        {QStringLiteral("type"), QStringLiteral("stdio")}};
    if (firefox)
        manifest.insert(QStringLiteral("allowed_extensions"),
                        QJsonArray{QLatin1String(nm::kFirefoxExtensionId)});
    else
        manifest.insert(QStringLiteral("allowed_origins"),
                        QJsonArray{QStringLiteral("chrome-extension://%1/")
                                       .arg(QLatin1String(nm::kChromiumExtensionId))});
    return QJsonDocument(manifest).toJson();
}

}  // namespace sirano
