#include "EncryptedStore.h"

#include "store/DataFile.h"

namespace sirano {

OpenOutcome openEncryptedDataFile(AppState& state, const QString& password) {
    DataFileAccess access{password, std::nullopt};
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
