// Log-in and log-out with an encrypted data file: the file is read at each log-in with the
// password typed, and everything it gave is forgotten at each log-out.
#pragma once

#include "app/AppState.h"
#include "keyring/KeyRing.h"

#include <QString>

namespace sirano {

enum class OpenOutcome { Opened, WrongPassword };

// Reads the encrypted data file with password into state: table, settings and the key that the
// saves use. A wrong password changes nothing. Throws LoadError (the file named) for a file that
// cannot be read or was damaged or changed.
OpenOutcome openEncryptedDataFile(AppState& state, const QString& password);

// At start: opens the encrypted data file with the key kept in the keyring, when the file's own
// settings still ask for the automatic log-in. False, holding nothing, otherwise: no key kept, a
// key of another sealing (a new password), a file that cannot be read (the log-in by password
// then says why), or the automatic log-in turned off meanwhile, whose key is then removed.
bool openWithKeptKey(AppState& state, KeyRing& ring);

// After the password settings changed: keeps the data file's key in the keyring when the file is
// encrypted and logs in automatically, else removes any key kept for it. The keyring's reason
// when the key could not be kept.
std::optional<QString> keepKeyForAutoLogin(const AppState& state, KeyRing& ring);

// Forgets what the encrypted data file gave: the key and the table, zeroed, and the settings.
// Nothing for a plain file, whose table stays (it is on disk for anyone who reads it anyway).
void forgetStoredData(AppState& state);

// The key for the data file after the password settings changed to password: a new one (fresh
// salt, parameters measured on this machine) when encryption is asked and the password is new
// or the file was plain; the old one when neither changed; none when encryption is not asked.
void rekeyDataFile(AppState& state, bool encrypt, const QString& oldPassword);

}  // namespace sirano
