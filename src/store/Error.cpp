#include "Error.h"

namespace sirano {

QString errorDescription(int number) {
    switch (number) {
        case err::kInvalidArgument:
            return QStringLiteral("a stored value is empty and cannot be decoded");
        case err::kOverflow:
            return QStringLiteral("a form or element position does not fit in 16 bits");
        case err::kSubscriptOutOfRange:
            return QStringLiteral("a limit was reached (1001 sites, 101 fields per site)");
        case err::kTypeMismatch:
            return QStringLiteral("a value that should be a number or a date is not one");
        case err::kInternalError:
            return QStringLiteral("unexpected failure");
        case err::kFileNotFound:
            return QStringLiteral("a file is not there");
        case err::kInputPastEnd:
            return QStringLiteral("the data file ends too early");
        case err::kPathFileAccess:
            return QStringLiteral("a file cannot be read or written");
        case err::kObjectNotSet:
            return QStringLiteral("a stored form or element position is past the end of the page");
        case err::kBadFileFormat:
            return QStringLiteral("the data file is malformed");
        case err::kCannotCreateObject:
            return QStringLiteral("no browser could be started");
        case err::kNoSuchMember:
            return QStringLiteral("an element refused the value");
        case err::kObjectDisconnected:
            return QStringLiteral("the tab or the browser went away, or did not answer in time");
        default:
            return QStringLiteral("unexpected failure");
    }
}

}  // namespace sirano
