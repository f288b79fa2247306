// What every sirano-cli command shares: exit codes, the data file option, the master password
// question, the folder lock, loading and saving the store. Commands throw CliError; main() prints
// its message and exits with its code.
#pragma once

#include "store/DataFile.h"
#include "store/DataFolder.h"
#include "store/StoreContents.h"

#include <QCommandLineParser>
#include <QString>
#include <QTextStream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace sirano::cli {

namespace exitcode {
inline constexpr int kOk = 0;
inline constexpr int kFailure = 1;        // the data file cannot be read or written, bad input
inline constexpr int kWrongPassword = 2;  // the master password was wrong or not given
inline constexpr int kRefused = 3;        // the data file or the export's output exists
                                          // (without --force), or SIRANO is running on the
                                          // data folder
inline constexpr int kUsage = 64;         // unknown command or option, missing argument
}  // namespace exitcode

// The exit-code paragraph every --help ends with.
QString exitCodesHelp();

class CliError : public std::runtime_error {
public:
    CliError(int exitCode, const QString& message)
        : std::runtime_error(message.toStdString()), exitCode_(exitCode), message_(message) {}
    int exitCode() const { return exitCode_; }
    const QString& message() const { return message_; }

private:
    int exitCode_;
    QString message_;
};

// The terminal, injected so that commands do not reach for globals.
struct Io {
    QTextStream& out;
    QTextStream& err;
    // Reads one password (see readTerminalPassword); nothing when no line could be read.
    std::function<std::optional<QString>(const QString& prompt)> readPassword;
    // Reads one answer, echoed (see readTerminalLine); nothing when no line could be read.
    std::function<std::optional<QString>(const QString& prompt)> readAnswer;
};

// From the terminal without echo, the prompt on stderr; or, when stdin is no terminal, the first
// line of stdin (its line end removed). Nothing at the end of input.
std::optional<QString> readTerminalPassword(const QString& prompt);
// The prompt on stderr, then one line of stdin (its line end removed), typed with echo.
std::optional<QString> readTerminalLine(const QString& prompt);

// A command line parser with --data FILE and --help; options of the command are added after.
// parseOrThrow() throws CliError(kUsage) for unknown options and for a positional count outside
// [minPositional, maxPositional].
void addCommonOptions(QCommandLineParser& parser);
void parseOrThrow(QCommandLineParser& parser, const QString& command, const QStringList& args,
                  int minPositional, int maxPositional);
bool wantsHelp(const QCommandLineParser& parser);

// --data FILE when given, else SIRANO.DAT in the data folder (beside the executable when it holds
// one, else the per-user folder). Creates nothing: see lockForWriting.
QString dataFilePath(const QCommandLineParser& parser);

// This machine's folder for the data file's lock, browser profile and error.log (see
// machineFolderFor): the data file's own folder, or one under the per-user folder for a data file
// elsewhere. Throws CliError(kFailure) when there is no per-user location.
QString machineFolderOf(const QString& dataFile);
// The same, created when it is the per-user folder or one under it.
QString makeMachineFolderOf(const QString& dataFile);

// Warns on io.err when the data file's folder, or the file, can be read by other users.
void warnIfOthersCanRead(const QString& dataFile, const Io& io);

// A store as loaded, with the key that opened it when the file is encrypted.
struct LoadedStore {
    StoreContents contents;
    std::optional<DataFileKey> key;  // the saves of an encrypted file use it
};

// Loads path. An encrypted file asks its master password first and throws
// CliError(kWrongPassword) when it is wrong or not given. Throws CliError(kFailure) with the load
// error's message, also when there is no file.
LoadedStore loadStore(const QString& path, const Io& io);
// Saves atomically, encrypted with key when one is given. Throws CliError(kFailure) with the
// reason.
void saveStore(const StoreContents& contents, const QString& path,
               const DataFileKey* key = nullptr);

// Asks the master password when settings hold one. Throws CliError(kWrongPassword) when it is
// wrong or not given; nothing is asked when no password is set, or when the store is encrypted
// (its password was asked to open it).
void requireMasterPassword(const LoadedStore& store, const Io& io);

// The lock of the data file's folder for the caller's write, taken in one attempt (see
// DataFolderLock::forWriting). Creates the per-user data folder (mode 0700) when the data file is
// in it and it is missing. Throws CliError: kRefused while a live process (a running SIRANO) holds
// the lock, kFailure when the lock cannot be made. Never returns nothing.
std::unique_ptr<DataFolderLock> lockForWriting(const QString& dataFile);

}  // namespace sirano::cli
