// Bringing together two versions of the store. An entry is known by what it holds (title,
// address, keyword, fields), never by its place alone: places shift when an entry is deleted,
// and another machine's table orders its entries its own way.
#pragma once

#include "StoreContents.h"

#include <QList>

namespace sirano {

struct MergeResult {
    StoreContents contents;
    // Entries this side changed that the other side had changed or deleted meanwhile: kept as
    // this side has them, as new entries (their indices in contents); the other side's version
    // stays too, so nothing is lost.
    QList<int> keptBoth;
    // The table had no room for every entry; nothing is written then.
    bool tableFull = false;
};

// This side's change since base, applied to theirs (the file as another program left it): what
// this side deleted is deleted there when it is still there unchanged; what this side changed
// replaces the same entry there, or is added when that entry is gone or was changed; what this
// side added is added unless an equal entry is there already. A setting this side changed is
// taken from mine, every other from theirs. Run-time markers of unchanged entries come along.
MergeResult applyChanges(const StoreContents& base, const StoreContents& mine,
                         const StoreContents& theirs);

// Every entry of other that this table does not hold already is appended, in other's order.
struct TableMerge {
    SiteTable table;
    int added = 0;
    int alreadyHeld = 0;
    // Added entries that share title and address with one held already but differ in their
    // fields or keyword: both are kept (their indices in table).
    QList<int> differing;
    bool tableFull = false;
};
TableMerge mergeTables(const SiteTable& mine, const SiteTable& other);

}  // namespace sirano
