// extension: SIRANO's companion extension in the user's own Firefox and Chromium — the
// native-messaging host manifests of this user, and what the browsers need to load it.
#include "Commands.h"
#include "browser/extension/HostManifest.h"
#include "browser/extension/NativeMessaging.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstring>

namespace sirano::cli {
namespace {

namespace nm = nativemessaging;

const QString kFirefoxExtensionId = QLatin1String(nm::kFirefoxExtensionId);
const QString kFirefoxApplicationId = QStringLiteral("{ec8030f7-c20a-464f-9b0e-13a3a9e97384}");

struct BrowserKind {
    QString name;
    QString userManifestFolder;    // below the home folder
    QString systemManifestFolder;  // where the package puts it
    bool firefox;
};

QList<BrowserKind> browserKinds() {
    return {{QStringLiteral("Firefox"), QStringLiteral(".mozilla/native-messaging-hosts"),
             QStringLiteral("/usr/lib/mozilla/native-messaging-hosts"), true},
            {QStringLiteral("Chromium"), QStringLiteral(".config/chromium/NativeMessagingHosts"),
             QStringLiteral("/etc/chromium/native-messaging-hosts"), false}};
}

QString manifestName() {
    return QStringLiteral("%1.json").arg(QLatin1String(nm::kHostName));
}

QString home() {
    const QString path = QDir::homePath();
    if (path.isEmpty() || path == QDir::rootPath())
        throw CliError(exitcode::kFailure, QStringLiteral("No home folder: set HOME."));
    return path;
}

// The first of the candidates (relative to this sirano-cli) that exists: installed, then a
// build's.
QString besideOrInBuild(const QStringList& candidates) {
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString& candidate : candidates) {
        const QFileInfo info(here.filePath(candidate));
        if (info.exists())
            return info.canonicalFilePath();
    }
    return {};
}

QString hostProgram() {
    return besideOrInBuild(
        {QStringLiteral("../libexec/sirano/sirano-host"), QStringLiteral("../host/sirano-host")});
}

QString extensionFolder(bool firefox) {
    const QString browser = firefox ? QStringLiteral("firefox") : QStringLiteral("chromium");
    return besideOrInBuild({QStringLiteral("../share/sirano/webext/") + browser,
                            QStringLiteral("../../webext/") + browser});
}

// The host a manifest names, or why it names none that runs.
QString manifestState(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QStringLiteral("none");
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unreadable (%1)").arg(file.errorString());
    const QString host = QJsonDocument::fromJson(file.read(64 * 1024))
                             .object()
                             .value(QLatin1String("path"))
                             .toString();
    if (host.isEmpty())
        return QStringLiteral("names no host");
    if (!QFileInfo(host).isExecutable())
        return QStringLiteral("names %1, which does not exist or cannot run").arg(host);
    return QStringLiteral("starts %1").arg(host);
}

bool trayListens() {
    const std::string path = nm::socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return answered;
}

QString loadHint(bool firefox, const QString& folder) {
    if (firefox)
        return QStringLiteral(
                   "  Firefox: the package installs the extension for every profile. From a "
                   "build:\n"
                   "    about:debugging > This Firefox > Load Temporary Add-on > %1/manifest.json\n"
                   "    (until Firefox ends), or, as root, for good:\n"
                   "    ln -s %1 '/usr/share/mozilla/extensions/%2/%3'\n")
            .arg(folder, kFirefoxApplicationId, kFirefoxExtensionId);
    return QStringLiteral(
               "  Chromium: the package installs the extension for Debian's chromium. From a "
               "build:\n"
               "    chrome://extensions > Developer mode > Load unpacked > %1,\n"
               "    or start it with: chromium --load-extension=%1\n")
        .arg(folder);
}

int extensionCommand(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("This help.")));
    parseOrThrow(parser, QStringLiteral("extension"), args, 0, 1);
    if (wantsHelp(parser)) {
        io.out << QStringLiteral(
                      "Usage: sirano-cli extension setup | status\n\n"
                      "SIRANO's companion extension lets the tray program fill pages in your own\n"
                      "Firefox and Chromium, through the native-messaging host sirano-host:\n"
                      "  setup   writes this user's host manifests for Firefox\n"
                      "          (~/%1/%3) and Chromium\n"
                      "          (~/%2/%3), naming the sirano-host\n"
                      "          of this sirano-cli (installed, or this build's), and says how to\n"
                      "          load the extension\n"
                      "  status  says which host each browser would start, and whether the tray\n"
                      "          program is running to take the connection\n\n")
                      .arg(browserKinds()[0].userManifestFolder,
                           browserKinds()[1].userManifestFolder, manifestName())
               << exitCodesHelp();
        return exitcode::kOk;
    }
    const QString action = parser.positionalArguments().value(0);
    if (action == QLatin1String("setup")) {
        const QString host = hostProgram();
        if (host.isEmpty())
            throw CliError(exitcode::kFailure,
                           QStringLiteral("sirano-host is neither installed beside sirano-cli nor "
                                          "in this build."));
        const QDir homeDir(home());
        for (const BrowserKind& kind : browserKinds()) {
            const QString folder = homeDir.filePath(kind.userManifestFolder);
            const QString path = QDir(folder).filePath(manifestName());
            if (!QDir().mkpath(folder))
                throw CliError(exitcode::kFailure,
                               QStringLiteral("Cannot create the folder %1.").arg(folder));
            QSaveFile file(path);
            const QByteArray text = hostManifest(host, kind.firefox);
            if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() ||
                !file.commit())
                throw CliError(exitcode::kFailure,
                               QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
            io.out << QStringLiteral("%1: %2 starts %3\n").arg(kind.name, path, host);
        }
        io.out << QStringLiteral("\nTo load the extension:\n");
        for (const BrowserKind& kind : browserKinds()) {
            const QString folder = extensionFolder(kind.firefox);
            io.out << loadHint(kind.firefox,
                               folder.isEmpty() ? QStringLiteral("(not found)") : folder);
        }
        io.out << QStringLiteral(
            "\nThe extension's toolbar button shows \"!\" while SIRANO is not "
            "connected.\n");
        return exitcode::kOk;
    }
    if (action == QLatin1String("status")) {
        const QDir homeDir(home());
        for (const BrowserKind& kind : browserKinds()) {
            const QString user = homeDir.filePath(kind.userManifestFolder + u'/' + manifestName());
            const QString system = QDir(kind.systemManifestFolder).filePath(manifestName());
            io.out << QStringLiteral("%1: this user's manifest %2: %3\n")
                          .arg(kind.name, user, manifestState(user));
            io.out << QStringLiteral("%1: the system's manifest %2: %3\n")
                          .arg(kind.name, system, manifestState(system));
        }
        io.out << (trayListens()
                       ? QStringLiteral(
                             "The tray program takes the extension's connections at %1.\n")
                       : QStringLiteral("No tray program takes the extension's connections at %1 "
                                        "(start sirano).\n"))
                      .arg(QString::fromStdString(nm::socketPath()));
        return exitcode::kOk;
    }
    throw CliError(
        exitcode::kUsage,
        (action.isEmpty() ? QStringLiteral("extension: say setup or status.")
                          : QStringLiteral("extension: '%1' is not setup or status.").arg(action)) +
            QStringLiteral("\nTry 'sirano-cli extension --help'."));
}

}  // namespace

QList<Command> extensionCommands() {
    return {{QStringLiteral("extension"),
             QStringLiteral("set up the companion extension of your own Firefox and Chromium"),
             extensionCommand}};
}

}  // namespace sirano::cli
