// Where SIRANO keeps its files, and the lock that allows one running copy per folder.
#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace sirano {

inline constexpr auto kDataFileName = "SIRANO.DAT";
inline constexpr auto kErrorLogName = "error.log";
inline constexpr auto kBrowserProfileName = "browser";
inline constexpr auto kLockFileName = "sirano.lock";

// The executable's folder when it already holds SIRANO.DAT (portable use); otherwise the per-user
// data folder "sirano" under the generic data location (~/.local/share/sirano, whatever the
// application's name, so the tray program and sirano-cli agree), created with mode 0700.
// Throws SiranoError when it cannot be created.
QString locateDataFolder(const QString& executableFolder);

// Holds the folder's lock for its lifetime.
class DataFolderLock {
public:
    // Nothing when another live process holds the lock.
    static std::unique_ptr<DataFolderLock> tryAcquire(const QString& folder);
    // True when a live process holds the folder's lock (without taking it).
    static bool isHeld(const QString& folder);

private:
    explicit DataFolderLock(std::unique_ptr<QLockFile> lock) : lock_(std::move(lock)) {}
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace sirano
