// The store as a JSON document, values in clear: what sirano-cli exports and imports.
//   {"format":"sirano","version":1,
//    "settings":{"masterPassword":S,"autoLoginAtStart":N,"autoLogoutMinutes":N},
//    "sites":[{"title":S,"url":S,"urlKeyword":S,
//              "fields":[{"formIndex":N,"elementIndex":N,"type":S,"name":S,"value":S}]}]}
#pragma once

#include "DataFile.h"

#include <QJsonObject>

namespace sirano {

// The longest text a document may hold, in UTF-16 units: what the dialogs' text boxes hold
// (QLineEdit's limit), so that every stored text can be shown and edited whole.
inline constexpr qsizetype kMaxTextLength = 32767;
// The largest document sirano-cli reads: far above a full table of sensible entries.
inline constexpr qint64 kMaxDocumentBytes = 64 * 1024 * 1024;

QJsonObject storeToJson(const StoreContents& contents);

// Checks the whole document before returning: a missing key, a value of the wrong kind, a number
// out of range (log-in flag 0-9, minutes 0-999, positions -32768..32767), more than 1001 sites
// or 101 fields, a text longer than kMaxTextLength, a lone surrogate in a text the file keeps as
// it is (title, address, keyword, type, name) or in the master password, and a master password
// that masterPasswordRefusal() refuses throw SiranoError (kBadFileFormat) naming the key, e.g.
// "sites[2].fields[0].name".
StoreContents storeFromJson(const QJsonObject& document);

}  // namespace sirano
