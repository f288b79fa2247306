// Numbered failures, the currency of every operation that the error log or a message box reports.
#pragma once

#include <QString>
#include <stdexcept>

namespace sirano {

// Every error number of the program, in one place. Callers log them (error.log) or show their
// message; keep them distinct. errorDescription() words each one.
namespace err {
// The store.
inline constexpr int kInvalidArgument = 5;      // e.g. decoding an empty stored text
inline constexpr int kOverflow = 6;             // a number too large for its 16-bit field
inline constexpr int kSubscriptOutOfRange = 9;  // a table or field index outside its bounds
inline constexpr int kTypeMismatch = 13;        // a value read into a number is not a number
inline constexpr int kFileNotFound = 53;
inline constexpr int kInputPastEnd = 62;    // a data file that ends too early
inline constexpr int kPathFileAccess = 75;  // a file that cannot be opened, written or renamed
inline constexpr int kBadFileFormat = 321;  // any other malformed data file
// The browser work.
inline constexpr int kInternalError = 51;        // an unexpected failure that is not a SiranoError
inline constexpr int kObjectNotSet = 91;         // form or element position past the end; no forms
inline constexpr int kCannotCreateObject = 429;  // no browser could be started
inline constexpr int kNoSuchMember = 438;        // an element refuses the property
inline constexpr int kObjectDisconnected = 462;  // window or browser gone, or no answer in time
}  // namespace err

// What an error number means, in English (sirano-cli's reports, the README's table).
QString errorDescription(int number);

class SiranoError : public std::runtime_error {
public:
    SiranoError(int number, const QString& message)
        : std::runtime_error(message.toStdString()), number_(number), message_(message) {}

    int number() const noexcept { return number_; }
    const QString& message() const noexcept { return message_; }

private:
    int number_;
    QString message_;
};

}  // namespace sirano
