#include "EncryptedStore.h"

#include "store/DataFile.h"

namespace sirano {

namespace {

OpenOutcome open(AppState& state, DataFileAccess access) {
    StoreContents loaded;
    // Taken before reading: a change during the read then shows as a later one.
    const std::optional<FileStamp> stamp = fileStampOf(state.dataFilePath);
    try {
        loaded = loadDataFile(state.dataFilePath, state.generator, &access);
    } catch (const LoadError& e) {
        if (e.reason().kind == Reason::Kind::WrongMasterPassword)
            return OpenOutcome::WrongPassword;
        throw;
    }
    state.fileContents = loaded;
    state.fileStamp = stamp;
    state.siteTable = std::move(loaded.siteTable);
    state.settings = loaded.settings;
    // A file made plain meanwhile (sirano-cli decrypt) opens too, and stays plain.
    state.dataFileEncrypted = access.key.has_value();
    state.dataFileKey = std::move(access.key);
    return OpenOutcome::Opened;
}

}  // namespace

OpenOutcome openEncryptedDataFile(AppState& state, const QString& password) {
    return open(state, DataFileAccess{password, std::nullopt});
}

bool openWithKeptKey(AppState& state, KeyRing& ring) {
    const QString entry = dataFileKeyEntry(state.dataFilePath);
    std::optional<QByteArray> kept = ring.read(entry);
    if (!kept)
        return false;
    std::optional<DataFileKey> key = DataFileKey::fromExported(*kept);
    wipe(*kept);
    if (!key)
        return false;
    try {
        if (open(state, DataFileAccess{QString(), std::move(key)}) != OpenOutcome::Opened)
            return false;
    } catch (const LoadError&) {
        return false;
    }
    if (state.settings.autoLoginAtStart != 0)
        return true;
    ring.remove(entry);
    forgetStoredData(state);
    return false;
}

std::optional<QString> keepKeyForAutoLogin(const AppState& state, KeyRing& ring) {
    const QString entry = dataFileKeyEntry(state.dataFilePath);
    if (!state.dataFileKey || state.settings.autoLoginAtStart == 0) {
        ring.remove(entry);
        return std::nullopt;
    }
    QByteArray secret = state.dataFileKey->exported();
    std::optional<QString> failed = ring.store(entry, secret);
    wipe(secret);
    return failed;
}

void forgetStoredData(AppState& state) {
    if (!state.dataFileEncrypted)
        return;
    state.dataFileKey.reset();
    // The working table first: the texts it shares with the copy as read are zeroed with the
    // copy, once they have a single holder.
    state.siteTable.wipe();
    state.fileContents.siteTable.wipe();
    wipe(state.settings.masterPassword);
    wipe(state.fileContents.settings.masterPassword);
    state.settings = Settings{};
    state.fileContents.settings = Settings{};
    state.fileStamp.reset();
}

void rekeyDataFile(AppState& state, bool encrypt, const QString& oldPassword) {
    const QString& password = state.settings.masterPassword;
    if (!encrypt || password.isEmpty()) {
        state.dataFileKey.reset();
        state.dataFileEncrypted = false;
        return;
    }
    if (!state.dataFileKey || password != oldPassword)
        state.dataFileKey = DataFileKey::create(password, calibratedKdfParams());
    state.dataFileEncrypted = true;
}

}  // namespace sirano
