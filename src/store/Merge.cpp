#include "Merge.h"

#include <algorithm>
#include <vector>

namespace sirano {
namespace {

std::vector<const SiteEntry*> entriesOf(const SiteTable& table) {
    std::vector<const SiteEntry*> out;
    out.reserve(static_cast<size_t>(table.siteCount()));
    for (int i = 0; i < table.siteCount(); ++i)
        out.push_back(&table.at(i));
    return out;
}

// The first entry of list equal to wanted that is not taken yet, taken now; -1 when none.
int takeEqual(const std::vector<const SiteEntry*>& list, std::vector<bool>& taken,
              const SiteEntry& wanted) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (!taken[i] && *list[i] == wanted) {
            taken[i] = true;
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

MergeResult applyChanges(const StoreContents& base, const StoreContents& mine,
                         const StoreContents& theirs) {
    const auto baseEntries = entriesOf(base.siteTable);
    const auto myEntries = entriesOf(mine.siteTable);

    // What this side did: entries of base it no longer has (deleted or changed), entries it has
    // that base did not (added or the result of a change). Changes pair up in order.
    std::vector<bool> mineTaken(myEntries.size(), false);
    std::vector<const SiteEntry*> gone;
    for (const SiteEntry* b : baseEntries) {
        if (takeEqual(myEntries, mineTaken, *b) < 0)
            gone.push_back(b);
    }
    std::vector<const SiteEntry*> fresh;
    for (size_t i = 0; i < myEntries.size(); ++i) {
        if (!mineTaken[i])
            fresh.push_back(myEntries[i]);
    }

    // Their entries, each to be kept, replaced or dropped.
    const auto theirEntries = entriesOf(theirs.siteTable);
    std::vector<const SiteEntry*> result(theirEntries.begin(), theirEntries.end());
    std::vector<bool> theirsTaken(theirEntries.size(), false);
    std::vector<const SiteEntry*> appended;
    MergeResult merged;
    std::vector<bool> keptBoth;
    for (size_t k = 0; k < gone.size(); ++k) {
        const int at = takeEqual(theirEntries, theirsTaken, *gone[k]);
        const SiteEntry* replacement = k < fresh.size() ? fresh[k] : nullptr;
        if (at >= 0) {
            result[static_cast<size_t>(at)] = replacement;  // null: deleted
        } else if (replacement) {
            appended.push_back(replacement);
            keptBoth.push_back(true);
        }
    }
    for (size_t k = gone.size(); k < fresh.size(); ++k) {
        std::vector<bool> none(theirEntries.size(), false);
        if (takeEqual(theirEntries, none, *fresh[k]) >= 0)
            continue;  // the same entry came from the other side
        appended.push_back(fresh[k]);
        keptBoth.push_back(false);
    }

    SiteTable& table = merged.contents.siteTable;
    const auto add = [&](const SiteEntry& e) {
        if (table.siteCount() >= kTableSlots) {
            merged.tableFull = true;
            return;
        }
        table.append(e);
    };
    for (const SiteEntry* e : result) {
        if (e)
            add(*e);
    }
    for (size_t k = 0; k < appended.size(); ++k) {
        add(*appended[k]);
        if (keptBoth[k] && !merged.tableFull)
            merged.keptBoth.append(table.siteCount() - 1);
    }
    // Markers of the fills done stay with the entries that are still here: a page filled once
    // is not filled again over the user's edits because of a reload.
    std::vector<bool> markersTaken(myEntries.size(), false);
    for (int i = 0; i < table.siteCount(); ++i) {
        const int from = takeEqual(myEntries, markersTaken, table.at(i));
        table.at(i).filledWindows =
            from >= 0 ? myEntries[static_cast<size_t>(from)]->filledWindows : FilledWindows{};
    }

    Settings& s = merged.contents.settings;
    s = theirs.settings;
    if (mine.settings.masterPassword != base.settings.masterPassword)
        s.masterPassword = mine.settings.masterPassword;
    if (mine.settings.autoLoginAtStart != base.settings.autoLoginAtStart)
        s.autoLoginAtStart = mine.settings.autoLoginAtStart;
    if (mine.settings.autoLogoutMinutes != base.settings.autoLogoutMinutes)
        s.autoLogoutMinutes = mine.settings.autoLogoutMinutes;
    return merged;
}

TableMerge mergeTables(const SiteTable& mine, const SiteTable& other) {
    TableMerge out;
    out.table = mine;
    const auto held = entriesOf(mine);
    for (int i = 0; i < other.siteCount(); ++i) {
        const SiteEntry& e = other.at(i);
        std::vector<bool> none(held.size(), false);
        if (takeEqual(held, none, e) >= 0) {
            ++out.alreadyHeld;
            continue;
        }
        if (out.table.siteCount() >= kTableSlots) {
            out.tableFull = true;
            return out;
        }
        const bool sameNameDiffers = std::any_of(held.begin(), held.end(), [&](const SiteEntry* h) {
            return h->title == e.title && h->url == e.url;
        });
        SiteEntry copy = e;
        copy.filledWindows.clear();
        out.table.append(std::move(copy));
        ++out.added;
        if (sameNameDiffers)
            out.differing.append(out.table.siteCount() - 1);
    }
    return out;
}

}  // namespace sirano
