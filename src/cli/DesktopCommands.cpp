// autostart and browser: SIRANO on the desktop, its start with the session and its own Chromium.
#include "Commands.h"
#include "browser/devtools/ChromiumBrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace sirano::cli {
namespace {

const QString kAutostartFileName = QStringLiteral("sirano.desktop");

// $XDG_CONFIG_HOME/autostart; a relative XDG_CONFIG_HOME is to be ignored, as XDG says.
QString autostartFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        const QString home = QDir::homePath();
        if (home.isEmpty() || home == QDir::rootPath())
            throw CliError(exitcode::kFailure,
                           QStringLiteral("No home folder: set HOME or XDG_CONFIG_HOME."));
        config = QDir(home).filePath(QStringLiteral(".config"));
    }
    return QDir(config).filePath(QStringLiteral("autostart"));
}

// A build keeps CMake's bookkeeping beside every program it makes.
bool isBuildProgram(const QString& program) {
    return QFileInfo(QFileInfo(program).dir().filePath(QStringLiteral("CMakeFiles"))).isDir();
}

QString describeProgram(const QString& program) {
    return isBuildProgram(program) ? QStringLiteral("%1 (a build's program)").arg(program)
                                   : QStringLiteral("%1 (the installed program)").arg(program);
}

// The tray program that belongs to this sirano-cli: beside it once installed (or copied for
// portable use), in the sibling target folder of a build.
QString trayProgram() {
    const QDir here(QCoreApplication::applicationDirPath());
    const QStringList candidates{here.filePath(QStringLiteral("sirano")),
                                 here.filePath(QStringLiteral("../shell/sirano"))};
    for (const QString& candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable() &&
            (candidate == candidates.constFirst() || isBuildProgram(candidate)))
            return info.canonicalFilePath();
    }
    throw CliError(exitcode::kFailure,
                   QStringLiteral("The tray program 'sirano' is neither beside sirano-cli (%1) "
                                  "nor in this build.")
                       .arg(here.path()));
}

// The same program, or nothing when there is none to start.
QString trayProgramOrEmpty() {
    try {
        return trayProgram();
    } catch (const CliError&) {
        return {};
    }
}

// A control character cannot be carried into an Exec line that every desktop reads alike (a line
// end would even start a key of its own), so such a path is refused rather than escaped.
void refuseControlCharacters(const QString& program) {
    const auto isControl = [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; };
    if (std::none_of(program.begin(), program.end(), isControl))
        return;
    QString shown;
    for (const QChar c : program)
        shown += isControl(c) ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar(u'0'))
                              : QString(c);
    throw CliError(
        exitcode::kFailure,
        QStringLiteral("Cannot write an autostart entry for %1: its path holds a control "
                       "character (a tab or a line end). Move it to a folder whose "
                       "name has none.")
            .arg(shown));
}

// GLib looks for the program of an Exec line before it turns "%%" back into "%", so a program
// whose path holds "%" is started through env, which GLib finds.
const QString kEnvProgram = QStringLiteral("/usr/bin/env");

// One argument of an Exec line, quoted where the desktop entry rules ask, "%" doubled.
QString execArgument(const QString& argument) {
    QString quoted = argument;
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (std::any_of(argument.begin(), argument.end(),
                    [](QChar c) { return reserved.contains(c); })) {
        QString inner;
        for (const QChar c : std::as_const(quoted)) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                inner += u'\\';
            inner += c;
        }
        quoted = u'"' + inner + u'"';
    }
    return quoted.replace(u'%', QStringLiteral("%%"));
}

// An Exec key's value: the program and its arguments, each one argument, then escaped as every
// string value is. No path holds a control character.
QString execValue(const QString& program, const QStringList& arguments = {}) {
    QString value = execArgument(program);
    if (program.contains(u'%'))
        value = kEnvProgram + u' ' + value;
    for (const QString& argument : arguments)
        value += u' ' + execArgument(argument);
    value.replace(u'\\', QStringLiteral("\\\\"));
    return value;
}

// The arguments of an Exec value, undoing the string escapes, the quoting and "%%".
QStringList execArguments(const QString& escaped) {
    QString value;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != u'\\' || i + 1 == escaped.size()) {
            value += escaped[i];
            continue;
        }
        const QChar next = escaped[++i];
        value += next == u's'   ? QChar(u' ')
                 : next == u'n' ? QChar(u'\n')
                 : next == u't' ? QChar(u'\t')
                 : next == u'r' ? QChar(u'\r')
                                : next;
    }
    QStringList arguments;
    qsizetype i = 0;
    while (i < value.size()) {
        if (value[i] == u' ') {
            ++i;
            continue;
        }
        QString argument;
        if (value[i] == u'"') {
            for (++i; i < value.size() && value[i] != u'"'; ++i) {
                if (value[i] == u'\\' && i + 1 < value.size())
                    ++i;
                argument += value[i];
            }
            ++i;
        } else {
            for (; i < value.size() && value[i] != u' '; ++i)
                argument += value[i];
        }
        arguments << argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
    }
    return arguments;
}

struct ExecLine {
    QString program;   // empty when there is no Exec line
    QString dataFile;  // the one --data names, if any
};

// What an autostart file's Exec starts, undoing execValue().
ExecLine execLine(const QByteArray& desktopFile) {
    for (const QByteArray& rawLine : desktopFile.split('\n')) {
        const QString line = QString::fromUtf8(rawLine);
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0 || line.left(equals).trimmed() != QLatin1String("Exec"))
            continue;
        QStringList arguments = execArguments(line.mid(equals + 1).trimmed());
        if (arguments.size() > 1 && arguments.constFirst() == kEnvProgram)
            arguments.removeFirst();
        const qsizetype data = arguments.indexOf(QStringLiteral("--data"));
        return {arguments.value(0), data > 0 ? arguments.value(data + 1) : QString()};
    }
    return {};
}

int autostartCommand(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("This help.")));
    parser.addOption(QCommandLineOption(QStringLiteral("data"), QStringLiteral("The data file."),
                                        QStringLiteral("FILE")));
    parseOrThrow(parser, QStringLiteral("autostart"), args, 0, 1);
    const QString path = QDir(autostartFolder()).filePath(kAutostartFileName);
    if (wantsHelp(parser)) {
        io.out << QStringLiteral(
                      "Usage: sirano-cli autostart on [--data FILE] | off | status\n\n"
                      "Whether the desktop starts the tray program with your session (XDG "
                      "autostart):\n"
                      "  on      writes %1,\n"
                      "          which starts the 'sirano' beside this sirano-cli (installed), or\n"
                      "          the one of this build when run from a build folder; with --data,\n"
                      "          started as 'sirano --data FILE' (a data file in a synced folder)\n"
                      "  off     removes that file\n"
                      "  status  says whether it is on, and which program it starts\n\n")
                      .arg(path)
               << exitCodesHelp();
        return exitcode::kOk;
    }
    const QStringList positional = parser.positionalArguments();
    const QString action = positional.value(0);
    if (parser.isSet(QStringLiteral("data")) && action != QLatin1String("on"))
        throw CliError(exitcode::kUsage,
                       QStringLiteral("autostart: --data goes with 'on'.\nTry 'sirano-cli "
                                      "autostart --help'."));
    if (action == QLatin1String("on")) {
        const QString program = trayProgram();
        refuseControlCharacters(program);
        QStringList arguments;
        if (parser.isSet(QStringLiteral("data"))) {
            const QString dataFile =
                QFileInfo(parser.value(QStringLiteral("data"))).absoluteFilePath();
            refuseControlCharacters(dataFile);
            arguments << QStringLiteral("--data") << dataFile;
        }
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            throw CliError(
                exitcode::kFailure,
                QStringLiteral("Cannot create the folder %1.").arg(QFileInfo(path).absolutePath()));
        QSaveFile file(path);
        const QByteArray text = QStringLiteral(
                                    "[Desktop Entry]\n"
                                    "Type=Application\n"
                                    "Name=SIRANO\n"
                                    "Comment=Fills in your log-in forms\n"
                                    "Exec=%1\n"
                                    "Icon=sirano\n"
                                    "Terminal=false\n"
                                    "X-GNOME-Autostart-enabled=true\n")
                                    .arg(execValue(program, arguments))
                                    .toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
            throw CliError(exitcode::kFailure,
                           QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        io.out << QStringLiteral("autostart on: %1 starts %2%3\n")
                      .arg(path, describeProgram(program),
                           arguments.isEmpty()
                               ? QString()
                               : QStringLiteral(" with the data file %1").arg(arguments.last()));
        return exitcode::kOk;
    }
    if (action == QLatin1String("off")) {
        QFile file(path);
        if (!file.exists()) {
            io.out << QStringLiteral("autostart off (it was off)\n");
        } else if (!file.remove()) {
            throw CliError(exitcode::kFailure,
                           QStringLiteral("Cannot remove %1: %2").arg(path, file.errorString()));
        } else {
            io.out << QStringLiteral("autostart off: %1 removed\n").arg(path);
        }
        return exitcode::kOk;
    }
    if (action == QLatin1String("status")) {
        QFile file(path);
        if (!file.exists()) {
            io.out << QStringLiteral("autostart off\n");
            return exitcode::kOk;
        }
        if (!file.open(QIODevice::ReadOnly))
            throw CliError(exitcode::kFailure,
                           QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        const ExecLine exec = execLine(file.read(64 * 1024));
        const QString& program = exec.program;
        io.out << QStringLiteral("autostart on: %1 starts %2%3\n")
                      .arg(path,
                           program.isEmpty() ? QStringLiteral("nothing (no Exec line)")
                                             : describeProgram(program),
                           exec.dataFile.isEmpty()
                               ? QString()
                               : QStringLiteral(" with the data file %1").arg(exec.dataFile));
        if (!program.isEmpty() && !QFileInfo(program).isExecutable())
            io.err << QStringLiteral("sirano-cli: warning: %1 does not exist or cannot run; %2\n")
                          .arg(program, !trayProgramOrEmpty().isEmpty()
                                            ? QStringLiteral("'sirano-cli autostart on' points "
                                                             "it at %1.")
                                                  .arg(trayProgramOrEmpty())
                                            : QStringLiteral("'sirano-cli autostart off' removes "
                                                             "it; install SIRANO again, or run "
                                                             "'autostart on' from a build that "
                                                             "has its sirano."));
        return exitcode::kOk;
    }
    throw CliError(exitcode::kUsage,
                   (action.isEmpty()
                        ? QStringLiteral("autostart: say on, off or status.")
                        : QStringLiteral("autostart: '%1' is not on, off or status.").arg(action)) +
                       QStringLiteral("\nTry 'sirano-cli autostart --help'."));
}

int browserCommand(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parseOrThrow(parser, QStringLiteral("browser"), args, 0, 1);
    if (wantsHelp(parser)) {
        io.out
            << QStringLiteral(
                   "Usage: sirano-cli browser [URL] [--data FILE]\n\n"
                   "Starts SIRANO's own Chromium (the profile \"browser\" beside the data file,\n"
                   "with its debugging port) as the tray program does, and opens URL in it, or\n"
                   "a new tab without URL. When that browser already runs, the tab opens in it.\n"
                   "The address is opened through the browser's debugging connection, never\n"
                   "put on its command line.\n\n"
                   "Options:\n"
                   "  --data FILE  the data file; without it, SIRANO.DAT beside sirano-cli when\n"
                   "               there is one, else ~/.local/share/sirano/SIRANO.DAT\n"
                   "  -h, --help   this help\n\n")
            << exitCodesHelp();
        return exitcode::kOk;
    }
    const QString url = parser.positionalArguments().value(0, QStringLiteral("chrome://newtab/"));
    // The per-user folder is made as the tray program makes it, before Chromium fills it.
    const QString folder = makeMachineFolderOf(dataFilePath(parser));
    ChromiumBrowser::Options options;
    options.profileFolder = QDir(folder).filePath(QLatin1String(kBrowserProfileName));
    // Someone at a terminal or a launcher can wait for a first start on a busy machine longer
    // than the tray's menu should.
    options.launch.startTimeout = std::chrono::seconds(30);
    ChromiumBrowser browser(std::move(options));
    browser.openInNewBrowser(url);
    if (browser.lastStartedPid() > 0)
        io.out << QStringLiteral("started Chromium (process %1) on %2 and opened %3\n")
                      .arg(browser.lastStartedPid())
                      .arg(QDir(folder).filePath(QLatin1String(kBrowserProfileName)), url);
    else
        io.out << QStringLiteral("opened %1 in the running browser\n").arg(url);
    return exitcode::kOk;
}

}  // namespace

QList<Command> desktopCommands() {
    return {
        {QStringLiteral("autostart"),
         QStringLiteral("on, off, status: start the tray program with the desktop session"),
         autostartCommand},
        {QStringLiteral("browser"),
         QStringLiteral("start SIRANO's Chromium, or open URL (or a new tab) in it"),
         browserCommand},
    };
}

}  // namespace sirano::cli
