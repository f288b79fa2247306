// "SIRANO.DAT": the header with the scrambled settings, then one line per entry
// (docs/data-file.md).
#pragma once

#include "Error.h"
#include "Generator.h"
#include "Reason.h"
#include "StoreContents.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace sirano {

// A data file that cannot be read: names the file, the line (and value position) and the reason.
// message() is English; the tray program words its own from the parts.
class LoadError : public SiranoError {
public:
    LoadError(int number, QString file, int line, int position, Reason reason);
    const QString& file() const { return file_; }
    int line() const { return line_; }          // 1-based; 0 when not tied to a line
    int position() const { return position_; }  // 1-based value position in the line; 0 if none
    const Reason& reason() const { return reason_; }
    QString reasonText(Language language) const { return sirano::reasonText(reason_, language); }

private:
    QString file_;
    int line_;
    int position_;
    Reason reason_;
};

// A data file that cannot be written, or settings that do not fit one (file() is then empty
// until saveDataFile() names it). message() is English.
class SaveError : public SiranoError {
public:
    SaveError(int number, QString file, Reason reason, bool fileUnchanged);
    const QString& file() const { return file_; }
    const Reason& reason() const { return reason_; }
    QString reasonText(Language language) const { return sirano::reasonText(reason_, language); }
    // An older file is there and stays as it was.
    bool fileUnchanged() const { return fileUnchanged_; }

private:
    QString file_;
    Reason reason_;
    bool fileUnchanged_;
};

// Why a master password cannot be stored: one that no prompt can give back would lock the user
// out. A line end (CR or LF) ends every prompt's answer; a lone UTF-16 surrogate cannot be typed
// or written as UTF-8; the file's marker for "no password" reads back as no password.
enum class PasswordRefusal { None, LineEnd, LoneSurrogate, EmptyMarker };
PasswordRefusal masterPasswordRefusal(QStringView password);
// Whether text holds half of a UTF-16 surrogate pair without the other half.
bool hasLoneSurrogate(QStringView text);

// Parses the bytes of a data file (CP932, or UTF-8 behind a byte-order mark). fileName only
// names the file in errors. Throws LoadError.
StoreContents parseDataFile(const QByteArray& bytes, Generator& gen, const QString& fileName);
// Serialises: CP932 when every plain text fits it, else UTF-8 with a byte-order mark.
// Throws SaveError (9) for settings outside the header's widths (login flag 0-9, minutes 0-999).
QByteArray serializeDataFile(const SiteTable& table, const Settings& settings, Generator& gen);

// Reads path. Throws LoadError (also for a file that cannot be opened, and for anything but a
// regular file).
StoreContents loadDataFile(const QString& path, Generator& gen);
// Atomic save of the table and settings to path (see writeFileAtomically in SafeFile.h); the file
// ends up with mode 0600, also when it had another. Throws SaveError (75, or 9 for settings that do
// not fit) naming the file and the reason, with the system's error; any failed write, sync or
// rename leaves the old file byte for byte.
void saveDataFile(const QString& path, Generator& gen, const SiteTable& table,
                  const Settings& settings);

}  // namespace sirano
