// Why a data file cannot be loaded or saved and why a data folder cannot be used or locked: one
// table of reasons, with the English of sirano-cli and the Japanese of the tray program.
#pragma once

#include <QString>
#include <QStringView>

namespace sirano {

enum class Language { English, Japanese };

// A value of the data file, as a reason names it: "the name of field 2 of entry 0".
struct ValueName {
    enum class Kind {
        Header,
        Title,
        FieldCount,
        Address,
        AddressKeyword,
        FormPosition,
        ElementPosition,
        Type,
        Name,
        StoredValue,
        ClosingIndex,
    };
    Kind kind = Kind::Header;
    int entry = -1;  // 0-based, as the file's closing index counts; -1: not in an entry
    int field = -1;  // 0-based; -1: not in a field
};

// One reason and its arguments. Which arguments a kind uses is listed beside it; text is the
// value as found in the file (cut short by the store) or the system's own error string, which
// both languages show as the system gives it.
struct Reason {
    enum class Kind {
        // Loading the data file.
        FileMissing,
        CannotOpen,  // text: the system's error
        CannotRead,  // text: the system's error
        NotRegularFile,
        EmptyFile,
        EmptyHeader,
        EndsEarly,         // value
        NotWholeNumber,    // value, text
        NumberOutOfRange,  // value, text
        UnclosedText,
        TextFollowedBy,        // text
        HeaderTooShort,        // number: characters
        HeaderMinutes,         // text
        TooManyEntries,        // number: the most there can be
        FieldCountOutOfRange,  // value, number: the count, limit: the most there can be
        EmptyStoredValue,      // value
        // Saving the data file (or any file written whole).
        LoginFlagOutOfRange,  // number
        MinutesOutOfRange,    // number
        TemporaryNotCreated,  // text: the system's error, for each of the steps down to Renaming
        TemporaryModeNotSet,
        Writing,
        Syncing,
        Closing,
        FileNotCreated,
        Renaming,
        FileExists,
        ForeignLink,  // a symbolic link another user made there
        // Another program changed the file since it was read, and the new file does not load
        // (text: why, in the words of the load).
        ChangedUnreadable,
        // With the other program's entries the table would hold more than it can.
        MergedTableFull,
        // The data folder and its lock.
        NoPerUserFolder,
        FolderNotCreated,  // text: the system's error
        LockNotAllowed,
        LockNotWritable,
        // The encrypted data file.
        NeedsMasterPassword,
        EnvelopeDamaged,     // text: the part of the header that is wrong
        EnvelopeVersion,     // number: the format version found
        EnvelopeParameters,  // number: passes, limit: memory in KiB
        WrongMasterPassword,
        ContentsNotAuthentic,
        KeyNotDerived,
    };
    Kind kind;
    ValueName value{};
    QString text{};
    long long number = 0;
    long long limit = 0;
};

// The reason as a clause to put into a sentence: no capital, no full stop.
QString reasonText(const Reason& reason, Language language);

// "1 character", "2 characters": count and a noun with a plain English plural.
QString englishCount(long long count, QStringView noun);

}  // namespace sirano
