// encrypt and decrypt: turning the data file's encryption on and off from a terminal.
#include "Commands.h"
#include "keyring/KeyRing.h"

namespace sirano::cli {
namespace {

const QString kForceOption = QStringLiteral("force");

const QString kDataHelp = QStringLiteral(
    "  --data FILE   the data file; without it, SIRANO.DAT beside sirano-cli when there is one,\n"
    "                else ~/.local/share/sirano/SIRANO.DAT\n"
    "  -h, --help    this help\n");

int encrypt(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parseOrThrow(parser, QStringLiteral("encrypt"), args, 0, 0);
    if (wantsHelp(parser)) {
        io.out << QStringLiteral(
                      "Usage: sirano-cli encrypt [--data FILE]\n\n"
                      "Encrypts the data file with a key derived from its master password, "
                      "which is\nasked first: without the password nobody can then read "
                      "anything in the file.\nThe key derivation is tuned to take about half a "
                      "second on this machine (at\nleast 64 MiB of memory). Refused when no "
                      "master password is set, when the file\nis encrypted already, and while "
                      "SIRANO is running with the same data folder.\n\nOptions:\n")
               << kDataHelp << u'\n' << exitCodesHelp();
        return exitcode::kOk;
    }
    const QString path = dataFilePath(parser);
    const auto lock = lockForWriting(path);
    const LoadedStore store = loadStore(path, io);
    if (store.key)
        throw CliError(exitcode::kRefused, QStringLiteral("%1 is encrypted already.").arg(path));
    if (store.contents.settings.masterPassword.isEmpty())
        throw CliError(exitcode::kFailure,
                       QStringLiteral("%1 has no master password; set one in SIRANO's "
                                      "\"ﾊﾟｽﾜｰﾄﾞ\" dialog first.")
                           .arg(path));
    requireMasterPassword(store, io);
    const KdfParams params = calibratedKdfParams();
    const DataFileKey key = DataFileKey::create(store.contents.settings.masterPassword, params);
    saveStore(store.contents, path, &key);
    io.out << QStringLiteral("encrypted %1 (Argon2id, %2 over %3 MiB)\n")
                  .arg(path, englishCount(params.passes, u"pass"))
                  .arg(params.memKiB / 1024);
    return exitcode::kOk;
}

int decrypt(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parser.addOption(QCommandLineOption(kForceOption, QStringLiteral("Do not ask.")));
    parseOrThrow(parser, QStringLiteral("decrypt"), args, 0, 0);
    if (wantsHelp(parser)) {
        io.out << QStringLiteral(
                      "Usage: sirano-cli decrypt [--force] [--data FILE]\n\n"
                      "Writes the encrypted data file back in the plain format, which anyone "
                      "who can\nread the file can decode. Asks the master password, then "
                      "whether to go on\n(\"y\" goes on; when stdin is not a terminal, the "
                      "answer is its next line).\nRefused while SIRANO is running with the same "
                      "data folder.\n\nOptions:\n"
                      "  --force       do not ask whether to go on\n")
               << kDataHelp << u'\n' << exitCodesHelp();
        return exitcode::kOk;
    }
    const QString path = dataFilePath(parser);
    const auto lock = lockForWriting(path);
    const LoadedStore store = loadStore(path, io);
    if (!store.key)
        throw CliError(exitcode::kRefused, QStringLiteral("%1 is not encrypted.").arg(path));
    if (!parser.isSet(kForceOption)) {
        io.err.flush();
        const auto answer = io.readAnswer(
            QStringLiteral("Write %1 without encryption? Whoever can read the file can then "
                           "read every stored value. [y/N] ")
                .arg(path));
        const QString yes = answer.value_or(QString()).trimmed().toLower();
        if (yes != QLatin1String("y") && yes != QLatin1String("yes"))
            throw CliError(exitcode::kRefused,
                           QStringLiteral("Not decrypted; %1 is unchanged.").arg(path));
    }
    saveStore(store.contents, path);
    // The key kept for the tray's automatic log-in opens nothing now.
    if (SecretServiceKeyRing keyRing; keyRing.available())
        keyRing.remove(dataFileKeyEntry(path));
    io.out << QStringLiteral("decrypted %1\n").arg(path);
    return exitcode::kOk;
}

}  // namespace

QList<Command> encryptionCommands() {
    return {
        {QStringLiteral("encrypt"),
         QStringLiteral("encrypt the data file with a key from its master password"), encrypt},
        {QStringLiteral("decrypt"), QStringLiteral("write the data file without encryption"),
         decrypt},
    };
}

}  // namespace sirano::cli
