// error.log: one appended line per failure of the browser work, written only when the file exists.
#pragma once

#include "store/DateTimeText.h"

#include <QString>
#include <cstdint>

namespace sirano {

// Place codes of the callers.
namespace place {
inline constexpr int16_t kAutoFill = 0;
inline constexpr int16_t kTimer = 1;
inline constexpr int16_t kOpenSite = 2;
inline constexpr int16_t kCapture = 3;
}  // namespace place

// Callers log from their error handlers and then end, so logError() must return normally.
class ErrorLog {
public:
    virtual ~ErrorLog() = default;
    virtual void logError(int16_t placeCode, int32_t errNumber) = 0;
};

// The real log: "<folder>/error.log", opened, appended to and closed for every line. Logging is
// switched on by creating the file: when it does not exist nothing is written or created. Never
// throws; a line that cannot be written is dropped. Lines are code page 932 text ended by CR LF.
class FileErrorLog final : public ErrorLog {
public:
    FileErrorLog(QString folder, const Clock& clock);
    void logError(int16_t placeCode, int32_t errNumber) override;
    // The line without its CR LF, e.g. "2008/06/15 12:34:56 Error:0002(1B6)": the date-time text,
    // one space, the place code in at least four digits, the number in upper-case hexadecimal
    // (a negative one as its eight-digit two's complement).
    static QString formatLine(const QDateTime& at, int16_t placeCode, int32_t errNumber);

private:
    QString path_;
    const Clock& clock_;
};

}  // namespace sirano
