// The command table of sirano-cli. Each command parses its own arguments (those after its name),
// answers --help itself, and returns an exit code (CliSupport.h) or throws CliError.
#pragma once

#include "CliSupport.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace sirano::cli {

struct Command {
    QString name;     // "check"
    QString summary;  // one line for the overall --help
    std::function<int(const QStringList& args, const Io& io)> run;
};

// check, list, export, import, merge (StoreCommands.cpp).
QList<Command> storeCommands();
// encrypt, decrypt (EncryptionCommands.cpp).
QList<Command> encryptionCommands();
// windows, capture, fill (BrowserCommands.cpp).
QList<Command> browserCommands();
// autostart, browser (DesktopCommands.cpp).
QList<Command> desktopCommands();
// extension (ExtensionCommands.cpp).
QList<Command> extensionCommands();

}  // namespace sirano::cli
