#include "CliSupport.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <string>

namespace sirano::cli {
namespace {

const QString kDataOption = QStringLiteral("data");
const QString kHelpOption = QStringLiteral("help");

std::optional<std::string> readLine(std::FILE* in) {
    std::string line;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The terminal's settings while echo is off, for the signal handler: a Ctrl-C at the prompt
// must not leave the shell without echo. Signal handlers can reach nothing else.
termios savedTerminal{};

extern "C" void restoreTerminalAndDie(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Turns echo off for its lifetime.
class EchoOff {
public:
    EchoOff() : ok_(::tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
        if (!ok_)
            return;
        oldInt_ = std::signal(SIGINT, restoreTerminalAndDie);
        oldTerm_ = std::signal(SIGTERM, restoreTerminalAndDie);
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (!ok_)
            return;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        std::signal(SIGINT, oldInt_);
        std::signal(SIGTERM, oldTerm_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool ok_;
    void (*oldInt_)(int) = SIG_DFL;
    void (*oldTerm_)(int) = SIG_DFL;
};

}  // namespace

QString exitCodesHelp() {
    return QStringLiteral(
        "Exit codes:\n"
        "  0   success\n"
        "  1   the data file or the input cannot be read or written (the message says why)\n"
        "  2   the master password was wrong or not given\n"
        "  3   refused: the data file exists (import without --force), the output file\n"
        "      exists (export --output without --force), encrypt on an encrypted file,\n"
        "      decrypt on a plain one or not confirmed, or SIRANO is running with that\n"
        "      data folder\n"
        "  64  unknown command or option, a missing or wrong argument (a site that is not "
        "there)\n");
}

std::optional<QString> readTerminalPassword(const QString& prompt) {
    if (!::isatty(STDIN_FILENO)) {
        const auto line = readLine(stdin);
        return line ? std::optional(QString::fromStdString(*line)) : std::nullopt;
    }
    std::optional<std::string> line;
    {
        // Echo goes off before the prompt shows, so nothing typed after the prompt is lost.
        EchoOff quiet;
        std::fputs(prompt.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        line = readLine(stdin);
    }
    std::fputs("\n", stderr);
    return line ? std::optional(QString::fromStdString(*line)) : std::nullopt;
}

std::optional<QString> readTerminalLine(const QString& prompt) {
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    const auto line = readLine(stdin);
    return line ? std::optional(QString::fromLocal8Bit(line->c_str())) : std::nullopt;
}

void addCommonOptions(QCommandLineParser& parser) {
    parser.addOption(
        QCommandLineOption(kDataOption, QStringLiteral("The data file."), QStringLiteral("FILE")));
    parser.addOption(
        QCommandLineOption({QStringLiteral("h"), kHelpOption}, QStringLiteral("This help.")));
}

// The parser's complaint as the user typed it: "unknown option '--bogus'" with its dashes (the
// parser names 'bogus'), a negative number as a value, not an option, and in the same small
// letters as the other messages.
QString parseErrorText(const QCommandLineParser& parser, const QStringList& args) {
    for (const QString& arg : args) {
        if (!arg.startsWith(u'-') || arg == QLatin1String("-") || arg == QLatin1String("--"))
            continue;
        const QString name = arg.section(u'=', 0, 0);
        QString bare = name;
        while (bare.startsWith(u'-'))
            bare.remove(0, 1);
        bool number = false;
        bare.toLong(&number);
        if (number)
            return QStringLiteral("'%1' is not a valid argument: no number here is negative.")
                .arg(arg);
        if (parser.errorText().startsWith(QLatin1String("Unknown option")) &&
            parser.errorText().contains(QStringLiteral("'%1'").arg(bare)))
            return QStringLiteral("unknown option '%1'.").arg(name);
    }
    QString text = parser.errorText();
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

void parseOrThrow(QCommandLineParser& parser, const QString& command, const QStringList& args,
                  int minPositional, int maxPositional) {
    const QString tryHelp = QStringLiteral("\nTry 'sirano-cli %1 --help'.").arg(command);
    if (!parser.parse(QStringList{QStringLiteral("sirano-cli")} + args))
        throw CliError(exitcode::kUsage, parseErrorText(parser, args) + tryHelp);
    if (wantsHelp(parser))
        return;
    const qsizetype n = parser.positionalArguments().size();
    if (n < minPositional)
        throw CliError(exitcode::kUsage,
                       QStringLiteral("%1: an argument is missing.").arg(command) + tryHelp);
    if (n > maxPositional)
        throw CliError(exitcode::kUsage,
                       QStringLiteral("%1: unexpected argument '%2'.")
                               .arg(command, parser.positionalArguments().at(maxPositional)) +
                           tryHelp);
}

bool wantsHelp(const QCommandLineParser& parser) {
    return parser.isSet(kHelpOption);
}

QString dataFilePath(const QCommandLineParser& parser) {
    if (parser.isSet(kDataOption))
        return parser.value(kDataOption);
    try {
        const QString folder = dataFolderPath(QCoreApplication::applicationDirPath());
        return QDir(folder).filePath(QLatin1String(kDataFileName));
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

void warnIfOthersCanRead(const QString& dataFile, const Io& io) {
    const auto warn = [&io](const QString& what, const QString& path, mode_t mode) {
        io.err << QStringLiteral(
                      "sirano-cli: warning: %1 %2 can be read by other users (mode "
                      "%3); chmod %4 it.\n")
                      .arg(what, path)
                      .arg(mode, 4, 8, QLatin1Char('0'))
                      .arg(what == QLatin1String("the data folder") ? QStringLiteral("700")
                                                                    : QStringLiteral("600"));
    };
    struct stat st {};
    const QString folder = QFileInfo(dataFile).absolutePath();
    // Another user who owns the folder or the file, or may write into the folder, can replace
    // the data file (or put a link in its place) with one of their own.
    const auto warnForeign = [&io](const QString& what, const QString& path, uid_t owner) {
        io.err << QStringLiteral(
                      "sirano-cli: warning: %1 %2 belongs to another user (uid %3), "
                      "who can change or replace it.\n")
                      .arg(what, path)
                      .arg(owner);
    };
    if (::stat(QFile::encodeName(folder).constData(), &st) == 0) {
        if (st.st_uid != ::geteuid())
            warnForeign(QStringLiteral("the data folder"), folder, st.st_uid);
        else if ((st.st_mode & 022) != 0)
            io.err << QStringLiteral(
                          "sirano-cli: warning: other users can write into the data "
                          "folder %1 and replace the data file; chmod 700 it.\n")
                          .arg(folder);
    }
    if (::lstat(QFile::encodeName(dataFile).constData(), &st) == 0 && st.st_uid != ::geteuid())
        warnForeign(S_ISLNK(st.st_mode) ? QStringLiteral("the link at the data file's place")
                                        : QStringLiteral("the data file"),
                    dataFile, st.st_uid);
    if (::stat(QFile::encodeName(folder).constData(), &st) == 0 && (st.st_mode & 077) != 0)
        warn(QStringLiteral("the data folder"), folder, st.st_mode & 07777);
    if (::stat(QFile::encodeName(dataFile).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & 077) != 0)
        warn(QStringLiteral("the data file"), dataFile, st.st_mode & 07777);
}

namespace {

QString askMasterPassword(const Io& io) {
    io.err.flush();
    const auto given = io.readPassword(QStringLiteral("Master password: "));
    if (!given)
        throw CliError(exitcode::kWrongPassword, QStringLiteral("No master password was given."));
    return *given;
}

}  // namespace

LoadedStore loadStore(const QString& path, const Io& io) {
    if (!QFileInfo::exists(path))
        throw CliError(exitcode::kFailure,
                       QStringLiteral("There is no data file at %1.").arg(path));
    Generator gen;  // decoding does not depend on the generator's state
    try {
        return LoadedStore{loadDataFile(path, gen), std::nullopt};
    } catch (const LoadError& e) {
        if (e.reason().kind != Reason::Kind::NeedsMasterPassword)
            throw CliError(exitcode::kFailure, e.message());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
    DataFileAccess access{askMasterPassword(io), std::nullopt};
    try {
        StoreContents contents = loadDataFile(path, gen, &access);
        return LoadedStore{std::move(contents), std::move(access.key)};
    } catch (const LoadError& e) {
        throw CliError(e.reason().kind == Reason::Kind::WrongMasterPassword
                           ? exitcode::kWrongPassword
                           : exitcode::kFailure,
                       e.message());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

void saveStore(const StoreContents& contents, const QString& path, const DataFileKey* key) {
    try {
        Generator gen;
        gen.reseedFromClock();
        saveDataFile(path, gen, contents.siteTable, contents.settings, key);
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

void requireMasterPassword(const LoadedStore& store, const Io& io) {
    if (store.contents.settings.masterPassword.isEmpty() || store.key)
        return;
    if (askMasterPassword(io) != store.contents.settings.masterPassword)
        throw CliError(exitcode::kWrongPassword, QStringLiteral("The master password is wrong."));
}

QString machineFolderOf(const QString& dataFile) {
    try {
        return machineFolderFor(dataFile, QCoreApplication::applicationDirPath());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

QString makeMachineFolderOf(const QString& dataFile) {
    try {
        // Made on the first write, as the tray program makes it.
        return makeMachineFolderFor(dataFile, QCoreApplication::applicationDirPath());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

std::unique_ptr<DataFolderLock> lockForWriting(const QString& dataFile) {
    const QString folder = makeMachineFolderOf(dataFile);
    try {
        std::unique_ptr<DataFolderLock> lock = DataFolderLock::forWriting(folder);
        if (DataFolderLock::heldBeside(dataFile, folder))
            throw FolderInUse(QFileInfo(dataFile).absolutePath());
        return lock;
    } catch (const FolderInUse& e) {
        throw CliError(exitcode::kRefused, e.message());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, e.message());
    }
}

}  // namespace sirano::cli
