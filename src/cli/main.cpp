// sirano-cli: SIRANO's data file (and, where built, the browser) from a terminal.
#include "Commands.h"
#include "store/ProcessSetup.h"

#include <QCoreApplication>

using namespace sirano;
using namespace sirano::cli;

namespace {

QString overallHelp(const QList<Command>& commands) {
    QString help = QStringLiteral(
        "Usage: sirano-cli COMMAND [options]\n"
        "       sirano-cli COMMAND --help\n"
        "       sirano-cli --version\n\n"
        "SIRANO's data file from a terminal: backup, inspection and scripting; its\n"
        "browser and its start with the desktop session.\n\n"
        "Commands:\n");
    for (const Command& c : commands)
        help += QStringLiteral("  %1%2\n").arg(c.name, -10).arg(c.summary);
    help += QStringLiteral(
        "\nEvery command but autostart and extension takes --data FILE; without it the data\n"
        "file is SIRANO.DAT beside sirano-cli when there is one, else\n"
        "~/.local/share/sirano/SIRANO.DAT.\n\n");
    return help + exitCodesHelp();
}

int runCommand(const QList<Command>& commands, const QString& name, const QStringList& args,
               const Io& io) {
    for (const Command& c : commands) {
        if (c.name != name)
            continue;
        try {
            return c.run(args, io);
        } catch (const CliError& e) {
            io.out.flush();
            io.err << "sirano-cli: " << e.message() << '\n';
            return e.exitCode();
        } catch (const SiranoError& e) {
            io.out.flush();
            io.err << "sirano-cli: " << e.message() << '\n';
            return exitcode::kFailure;
        }
    }
    io.err << QStringLiteral("sirano-cli: unknown command '%1'.\nTry 'sirano-cli --help'.\n")
                  .arg(name);
    return exitcode::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    sirano::ignoreFileSizeLimitSignal();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sirano-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SIRANO_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    const Io io{out, err, readTerminalPassword, readTerminalLine};
    const QList<Command> commands = storeCommands() + encryptionCommands() + browserCommands() +
                                    desktopCommands() + extensionCommands();

    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        err << overallHelp(commands);
        return exitcode::kUsage;
    }
    const QString& first = args.constFirst();
    if (first == QLatin1String("help") && args.size() == 2)
        return runCommand(commands, args[1], {QStringLiteral("--help")}, io);
    if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
        first == QLatin1String("help")) {
        out << overallHelp(commands);
        return exitcode::kOk;
    }
    if (first == QLatin1String("--version")) {
        out << QStringLiteral("sirano-cli %1\n").arg(QCoreApplication::applicationVersion());
        return exitcode::kOk;
    }
    return runCommand(commands, first, args.mid(1), io);
}
