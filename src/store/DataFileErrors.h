// The failures of loading and saving the data file.
#pragma once

#include "Error.h"
#include "Reason.h"

#include <QString>

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

}  // namespace sirano
