// Where SIRANO keeps its files, and the lock that allows one running copy per folder.
#pragma once

#include "Error.h"
#include "Reason.h"

#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

namespace sirano {

inline constexpr auto kDataFileName = "SIRANO.DAT";
inline constexpr auto kErrorLogName = "error.log";
inline constexpr auto kBrowserProfileName = "browser";
inline constexpr auto kLockFileName = "sirano.lock";

// A data folder that cannot be used: folder() is empty when there is no per-user location.
// message() is English.
class DataFolderError : public SiranoError {
public:
    DataFolderError(QString folder, Reason reason);
    const QString& folder() const { return folder_; }
    const Reason& reason() const { return reason_; }
    QString reasonText(Language language) const { return sirano::reasonText(reason_, language); }

private:
    QString folder_;
    Reason reason_;
};

// The per-user data folder: "sirano" under the generic data location (~/.local/share/sirano,
// whatever the application's name, so the tray program and sirano-cli agree). Nothing is created.
// Throws DataFolderError when there is no such location (no HOME).
QString perUserDataFolder();
// The executable's folder when it already holds SIRANO.DAT (portable use); otherwise the per-user
// data folder. Nothing is created: for commands that only read.
QString dataFolderPath(const QString& executableFolder);
// Creates folder with mode 0700 (its parents as needed, with the usual mode) unless it exists.
// Throws DataFolderError, with the system's error, when it cannot be created.
void createDataFolder(const QString& folder);
// dataFolderPath(), created when missing.
QString locateDataFolder(const QString& executableFolder);

// The folder of this machine's own files for the data file at dataFile (the lock, the browser
// profile, error.log): the data file's folder when that is the program's (beside the executable,
// or the per-user folder); for a data file elsewhere, such as a folder a sync tool keeps equal
// on several machines, a folder of its own under the per-user folder named after the file's
// path ("elsewhere/<hash>"), so that a lock or a profile never travels with the data. Nothing is
// created. Throws DataFolderError when there is no per-user location.
QString machineFolderFor(const QString& dataFile, const QString& executableFolder);
// machineFolderFor(), created (mode 0700, after the per-user folder) when it is the per-user
// folder or one under it; a folder named by the user is the user's to make.
QString makeMachineFolderFor(const QString& dataFile, const QString& executableFolder);

class DataFolderLock;

// How one attempt at a folder's lock ended.
struct LockAttempt {
    enum class Outcome {
        Taken,              // lock holds it
        HeldByLiveProcess,  // another running program has it
        CannotWrite,        // the lock file cannot be made: reason says why
    };
    Outcome outcome;
    std::unique_ptr<DataFolderLock> lock;
    Reason reason{Reason::Kind::LockNotWritable};  // meaningful for CannotWrite only
};

// A live process holds the folder's lock: a running SIRANO, or a sirano-cli command writing.
class FolderInUse : public SiranoError {
public:
    explicit FolderInUse(const QString& folder);
};

// Holds the folder's lock for its lifetime.
class DataFolderLock {
public:
    using Taker = std::function<LockAttempt(const QString& folder)>;

    // One attempt, never waiting. A lock left by a process that is gone is taken over. Once taken,
    // the temporary files of saves killed before their rename (full copies of the secrets) are
    // removed: no save can be running then.
    static LockAttempt acquire(const QString& folder);
    // acquire(), nothing unless taken.
    static std::unique_ptr<DataFolderLock> tryAcquire(const QString& folder);
    // The lock for a write beside the tray program (sirano-cli), from exactly one attempt of
    // take: deciding from an earlier look and then taking it would let a SIRANO that starts in
    // between write over this write. Throws FolderInUse when a live process holds it,
    // SiranoError (75) when the lock cannot be made.
    static std::unique_ptr<DataFolderLock> forWriting(const QString& folder,
                                                      const Taker& take = acquire);
    // For a data file whose lock is kept in lockFolder: whether a live process holds a lock
    // beside the file too (a SIRANO run from the file's own folder). False when they are one.
    static bool heldBeside(const QString& dataFile, const QString& lockFolder);

private:
    // Whether a live process of this machine holds folder's lock, looked at without making or
    // taking it.
    static bool heldInFolder(const QString& folder);
    explicit DataFolderLock(std::unique_ptr<QLockFile> lock) : lock_(std::move(lock)) {}
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace sirano
