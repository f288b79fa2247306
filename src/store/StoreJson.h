// The store as a JSON document, values in clear: what sirano-cli exports and imports.
//   {"format":"sirano","version":1,
//    "settings":{"masterPassword":S,"autoLoginAtStart":N,"autoLogoutMinutes":N},
//    "sites":[{"title":S,"url":S,"urlKeyword":S,
//              "fields":[{"formIndex":N,"elementIndex":N,"type":S,"name":S,"value":S}]}]}
#pragma once

#include "DataFile.h"

#include <QJsonObject>

namespace sirano {

QJsonObject storeToJson(const StoreContents& contents);

// Checks the whole document before returning: a missing key, a value of the wrong kind, a number
// out of range (log-in flag 0-9, minutes 0-999, positions -32768..32767) or more than 1001 sites
// or 101 fields throws SiranoError (kBadFileFormat) naming the key, e.g. "sites[2].fields[0].name".
StoreContents storeFromJson(const QJsonObject& document);

}  // namespace sirano
