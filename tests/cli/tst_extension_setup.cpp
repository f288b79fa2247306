// sirano-cli extension: the host manifests it writes for this user, and what status reports.
#include "browser/extension/ExtensionLink.h"
#include "browser/extension/NativeMessaging.h"
#include "support/CliRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

class TestExtensionSetup : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home_;

    CliResult run(const QStringList& args) {
        return runCli(CliRun{args,
                             {},
                             {{QStringLiteral("HOME"), home_.path()},
                              {QStringLiteral("XDG_RUNTIME_DIR"), home_.path()}}});
    }

    QJsonObject manifest(const QString& folder) {
        QFile file(QDir(home_.path()).filePath(folder + QStringLiteral("/org.sirano.host.json")));
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }

private Q_SLOTS:
    void setupWritesBothManifestsNamingThisBuildsHost() {
        const CliResult result = run({QStringLiteral("extension"), QStringLiteral("setup")});
        QCOMPARE(result.exitCode, 0);
        const QString host = QFileInfo(QStringLiteral(SIRANO_HOST_BINARY)).canonicalFilePath();
        QVERIFY2(result.out.contains("chromium --load-extension=") &&
                     result.out.contains("/webext/firefox/manifest.json"),
                 result.out.constData());

        const QJsonObject firefox = manifest(QStringLiteral(".mozilla/native-messaging-hosts"));
        const QJsonObject chromium =
            manifest(QStringLiteral(".config/chromium/NativeMessagingHosts"));
        for (const QJsonObject& m : {firefox, chromium}) {
            QCOMPARE(m.value(QLatin1String("name")).toString(), QStringLiteral("org.sirano.host"));
            QCOMPARE(m.value(QLatin1String("path")).toString(), host);
            QCOMPARE(m.value(QLatin1String("type")).toString(), QStringLiteral("stdio"));
        }
        QCOMPARE(firefox.value(QLatin1String("allowed_extensions")).toArray(),
                 QJsonArray{QLatin1String(nativemessaging::kFirefoxExtensionId)});
        QCOMPARE(chromium.value(QLatin1String("allowed_origins")).toArray(),
                 QJsonArray{QStringLiteral("chrome-extension://%1/")
                                .arg(QLatin1String(nativemessaging::kChromiumExtensionId))});
    }

    void statusSaysWhetherTheTrayTakesConnections() {
        run({QStringLiteral("extension"), QStringLiteral("setup")});
        CliResult result = run({QStringLiteral("extension"), QStringLiteral("status")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.out.contains("No tray program takes"), result.out.constData());
        QVERIFY(result.out.contains("this user's manifest") && result.out.contains("starts /"));

        qputenv("XDG_RUNTIME_DIR", home_.path().toUtf8());
        ExtensionLink link(QString::fromStdString(nativemessaging::socketPath()));
        result = run({QStringLiteral("extension"), QStringLiteral("status")});
        QVERIFY2(result.out.contains("The tray program takes"), result.out.constData());
    }

    void unknownActionIsAUsageError() {
        for (const QStringList& args :
             {QStringList{QStringLiteral("extension")},
              QStringList{QStringLiteral("extension"), QStringLiteral("on")}}) {
            const CliResult result = run(args);
            QCOMPARE(result.exitCode, 64);
            QVERIFY(result.err.contains("Try 'sirano-cli extension --help'"));
        }
    }
};

QTEST_GUILESS_MAIN(TestExtensionSetup)
#include "tst_extension_setup.moc"
