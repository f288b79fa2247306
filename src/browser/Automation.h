// The browser work of the tray program: capture ("記憶"), open-and-fill of a site menu item, and
// the browser half of the one-second tick (the automatic fill). Each runs under one error handler
// that logs with its place code and ends; nothing is shown to the user and nothing escapes.
#pragma once

#include "ErrorLog.h"
#include "Matching.h"
#include "ObjectModel.h"
#include "app/AppActions.h"
#include "app/AppState.h"

#include <QHash>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace sirano {

// What one run of the browser work did. The tray program has no use for it; sirano-cli prints it.
struct AutomationReport {
    struct Write {
        int window;  // position in the list of windows
        QString address;
        WriteResult result;
    };
    int windowsRead = 0;
    QList<Write> writes;  // every page written to, in window order
    QStringList openedInBackground;
    QStringList openedInNewBrowser;
    int sitesAdded = 0;
    std::optional<int> error;  // the number logged when the run (or one window of a tick) failed
    // The capture's save failed (and was undone): what it threw, whole (a SaveError names the
    // file and the reason apart).
    std::exception_ptr saveFailure;
};

class Automation {
public:
    Automation(AppState& state, Browser& browser, ErrorLog& errorLog, AppActions& actions);

    // Logged in: every idle window with an http(s) address and at least one form becomes a new
    // entry when it yields a field; then, when any did, saveDataFile() and rebuildSiteMenu(). A
    // failure (error 9 at the table or field bound) ends the capture unsaved; entries completed
    // before it stay counted. A failed save takes the new entries out again (saveFailure).
    AutomationReport capture();
    // Fills entry index into every idle matching window with forms; opens its address in the
    // background (or in a new browser when there is no window) when no text value was written.
    // An index that names no entry in use is error 9. An empty address fills and opens nothing.
    // A window that fails is logged once all are written, and nothing is opened then.
    // Markers are left alone.
    AutomationReport fillSite(int16_t index);
    // The browser half of the one-second tick. Logged in: a window that has started loading a page
    // since the last look leaves every entry's markers (so a reload is filled again however fast it
    // was); a busy window is skipped; every other window is filled with every entry that matches
    // it and has not yet been filled into it, in one write, and joins those entries' markers. The
    // automatic log-out is not here: it must not depend on a browser.
    //
    // Page round trips: capture reads each eligible window once; the fill on request writes each
    // matching window once; the tick writes a window once with the edits of every entry that
    // matches it, and not at all when no entry can fill it. Busy state, address, window id and
    // load count are tracked by the browser and cost no round trip.
    AutomationReport tick();

    // Zeroes what the matching prepared from the stored sites (at a log-out that forgets them).
    void forgetSites();

private:
    // An entry's matcher, prepared again only when its address or keyword changed.
    struct PreparedSite {
        QString url;
        QString keyword;
        SiteMatcher matcher;
    };
    const SiteMatcher& matcherFor(int entry, const SiteEntry& e);

    // An automatic fill of one window, sent and not yet answered.
    struct SentFill {
        struct Share {
            int entry;
            qsizetype edits;  // this entry's part of the batched write
        };
        int position = 0;
        QString location;
        int32_t windowId = 0;
        QList<Share> shares;
        std::unique_ptr<PendingWrite> write;
    };
    // Nothing to write (busy, or no entry left to fill into it): nothing sent.
    std::optional<SentFill> startFill(BrowserWindow& w, int position);
    // Takes the answer and marks the entries whose edits all went through.
    void finishFill(SentFill& fill, AutomationReport& report);
    // The automatic fill of each window, positions as in the list.
    void fillAtOnce(const QList<BrowserWindow*>& windows, AutomationReport& report);

    AppState& state_;
    Browser& browser_;
    ErrorLog& errorLog_;
    AppActions& actions_;
    QHash<int32_t, quint64> seenLoads_;  // per window: its load count at the last look
    std::vector<std::optional<PreparedSite>> prepared_;  // by entry
    // Expires with this object: a browser's late answer then finds nobody to tell.
    std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);
};

}  // namespace sirano
