// Files that hold secrets in clear or scrambled: written whole or not at all, the user's alone.
#pragma once

#include "Reason.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace sirano {

enum class ExistingFile { Replace, Keep };

// Why a write failed: the step and the system's error, e.g. "writing the temporary file failed
// (File too large)".
struct WriteFailure {
    Reason reason;
    bool exists = false;  // ExistingFile::Keep and the file is there: nothing was written
};

// Writes bytes to path through a temporary file "<path>.XXXXXX" in the same folder: every byte
// written, synced to disk, then renamed over path. Any failure removes the temporary file and
// leaves path as it was; a kill leaves at most the temporary file (see removeStaleTemporaries).
// The result has mode 0600 whatever the umask or the mode of the file it replaces. With
// ExistingFile::Replace a symbolic link of our own user at path is followed (its target is
// replaced); one of another user is refused (ForeignLink) and nothing is written. With
// ExistingFile::Keep anything at path (a symbolic link too) is never replaced, also when it
// appears while the bytes are written; a kill between claiming the name and the rename leaves an
// empty file there.
[[nodiscard]] std::optional<WriteFailure> writeFileAtomically(
    const QString& path, const QByteArray& bytes, ExistingFile existing = ExistingFile::Replace);

// Whether name is the temporary file of a write of fileName: fileName, a dot and six letters or
// digits.
bool isTemporaryOf(const QString& name, const QString& fileName);

// Removes, in folder, the temporary files of writes of fileName that were killed before their
// rename: regular files named as isTemporaryOf() says and owned by this user. Only safe while no
// write of that file can be running, i.e. under the folder's lock. Returns how many were removed.
int removeStaleTemporaries(const QString& folder, const QString& fileName);

}  // namespace sirano
