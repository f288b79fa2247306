#include "Automation.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

namespace sirano {
namespace {

// Runs one handler body under its error handler: any failure is logged with the place code,
// ends the body and is noted in the report (the first one). Nothing reaches the event loop.
template <typename Body>
void logFailures(ErrorLog& log, int16_t placeCode, AutomationReport& report, Body&& body) {
    int number = 0;
    try {
        body();
        return;
    } catch (const SiranoError& e) {
        number = e.number();
    } catch (const std::exception&) {
        number = err::kInternalError;
    }
    log.logError(placeCode, number);
    if (!report.error)
        report.error = number;
}

int16_t position16(int position) {
    if (position < 0 || position > std::numeric_limits<int16_t>::max())
        throw SiranoError(err::kOverflow, QStringLiteral("Overflow: position %1").arg(position));
    return static_cast<int16_t>(position);
}

bool isTextLike(const QString& lowerType, const QString& value) {
    static const QLatin1String kExcluded[] = {QLatin1String("hidden"), QLatin1String("radio"),
                                              QLatin1String("checkbox"), QLatin1String("submit"),
                                              QLatin1String("button")};
    return !value.isEmpty() && std::none_of(std::begin(kExcluded), std::end(kExcluded),
                                            [&](QLatin1String t) { return lowerType == t; });
}

QList<FieldEdit> editsOf(const SiteEntry& e, bool compareNames) {
    QList<FieldEdit> edits;
    edits.reserve(e.fieldCount());
    for (const SiteField& f : e.fields()) {
        FieldEdit edit;
        edit.formIndex = f.formIndex;
        edit.elementIndex = f.elementIndex;
        edit.checkbox = f.isCheckbox();
        if (edit.checkbox)
            edit.checked = f.fieldValue == QLatin1String("True");  // exact: "true" clears the tick
        else
            edit.value = f.fieldValue;
        if (compareNames)
            edit.expectedName = f.fieldName;
        edits.append(std::move(edit));
    }
    return edits;
}

void throwIfFailed(const WriteResult& result) {
    if (result.failure)
        throw *result.failure;
}

}  // namespace

Automation::Automation(AppState& state, Browser& browser, ErrorLog& errorLog, AppActions& actions)
    : state_(state), browser_(browser), errorLog_(errorLog), actions_(actions) {}

AutomationReport Automation::capture() {
    AutomationReport report;
    if (!state_.loggedIn)
        return report;
    logFailures(errorLog_, place::kCapture, report, [&] {
        SiteTable& table = state_.siteTable;
        const int before = table.siteCount();
        const QList<std::shared_ptr<BrowserWindow>> windows = browser_.windows();
        // Every read is sent before any answer is awaited; the answers are taken in window
        // order, so a failure ends the capture exactly where reading one by one would.
        std::vector<std::unique_ptr<PendingRead>> reads;
        for (const std::shared_ptr<BrowserWindow>& w : windows) {
            if (w->busy())
                continue;
            // The address is tracked, so it is tested before the page is read.
            if (!w->locationUrl().startsWith(QLatin1String("http")))
                continue;
            reads.push_back(w->startRead());
        }
        for (const std::unique_ptr<PendingRead>& read : reads) {
            const PageSnapshot page = read->take();
            ++report.windowsRead;
            if (page.forms.isEmpty())
                continue;

            const int s = table.siteCount();
            SiteEntry& slot = table.at(s);  // error 9 when all 1001 slots are in use
            // A free slot may still hold what an edit or an earlier capture left there (a keyword
            // that would keep the automatic fill away): the new entry starts clean.
            slot.clear();
            slot.title = page.title;
            slot.url = page.url;
            int n = 0;
            for (int i = 0; i < page.forms.size(); ++i) {
                const QList<ElementSnapshot>& elements = page.forms[i].elements;
                for (int j = 0; j < elements.size(); ++j) {
                    const ElementSnapshot& e = elements[j];
                    if (e.tagName.toLower() != QLatin1String("input"))
                        continue;
                    const QString type = e.type.toLower();
                    if (isTextLike(type, e.value)) {
                        slot.setField(n, {position16(i), position16(j), e.type, e.name, e.value});
                        ++n;
                    }
                    if (type == QLatin1String("checkbox")) {
                        slot.setField(
                            n, {position16(i), position16(j), e.type, e.name,
                                e.checked ? QStringLiteral("True") : QStringLiteral("False")});
                        ++n;
                    }
                }
            }
            if (n > 0) {
                table.setSiteCount(s + 1);
                ++report.sitesAdded;
            }
        }
        // Nothing new: the data file stays as it is, and none is made where there was none.
        if (report.sitesAdded == 0)
            return;
        try {
            actions_.saveDataFile();
        } catch (const SiranoError& e) {
            // What could not be saved is in no menu and no list: the table is as before.
            table.setSiteCount(before);
            report.sitesAdded = 0;
            report.saveFailure = std::current_exception();
            throw;
        }
        actions_.rebuildSiteMenu();
    });
    return report;
}

AutomationReport Automation::fillSite(int16_t index) {
    AutomationReport report;
    logFailures(errorLog_, place::kOpenSite, report, [&] {
        bool handled = false;
        if (index < 0 || index >= state_.siteTable.siteCount())
            throw SiranoError(err::kSubscriptOutOfRange,
                              QStringLiteral("Subscript out of range: site %1").arg(index));
        const SiteEntry& e = state_.siteTable.at(index);
        // An empty address matches no page, and there is nothing to open either.
        if (e.url.isEmpty())
            return;
        const QList<FieldEdit> edits = editsOf(e, false);
        const bool writesText =
            std::any_of(edits.begin(), edits.end(), [](const FieldEdit& f) { return !f.checkbox; });

        const QList<std::shared_ptr<BrowserWindow>> windows = browser_.windows();
        // Every write is sent before any answer is awaited, and the answers are taken in window
        // order. A window that fails does not keep the values from the others, which have them
        // by then; its failure ends the fill once all are reported.
        struct Sent {
            int window;
            QString location;
            std::unique_ptr<PendingWrite> write;
        };
        std::vector<Sent> sent;
        // An entry without fields writes nothing anywhere: no need to ask the pages.
        for (qsizetype i = 0; i < windows.size() && !edits.isEmpty(); ++i) {
            BrowserWindow& w = *windows[i];
            QString location = w.locationUrl();
            if (w.busy() || !urlMatches(location, e.url))
                continue;
            std::unique_ptr<PendingWrite> write = w.startWrite(edits, location);
            sent.push_back({static_cast<int>(i), std::move(location), std::move(write)});
        }
        std::optional<SiranoError> failure;
        for (Sent& s : sent) {
            WriteResult result;
            try {
                result = s.write->take();
            } catch (const SiranoError& error) {
                failure = failure.value_or(error);
                continue;
            }
            if (!result.hadForms)
                continue;
            report.writes.append({s.window, s.location, result});
            if (result.failure)
                failure = failure.value_or(*result.failure);
            else
                handled = handled || writesText;
        }
        if (failure)
            throw *failure;

        if (handled)
            return;
        if (!windows.isEmpty()) {
            windows.first()->openInBackground(e.url);
            report.openedInBackground.append(e.url);
        } else {
            // The browser may take seconds to start: the tray goes on meanwhile, and a browser
            // that never comes is logged as the fill's own failure would be. An answer given
            // before the call returns (a browser that waits) is the fill's own result.
            struct Answer {
                bool waiting = true;
                std::optional<SiranoError> early;
            };
            auto answer = std::make_shared<Answer>();
            browser_.startNewBrowser(
                e.url, [answer, log = &errorLog_, alive = std::weak_ptr<const int>(alive_)](
                           const std::optional<SiranoError>& failure) {
                    if (answer->waiting)
                        answer->early = failure;
                    else if (failure && alive.lock())
                        log->logError(place::kOpenSite, failure->number());
                });
            answer->waiting = false;
            if (answer->early)
                throw *answer->early;
            report.openedInNewBrowser.append(e.url);
        }
    });
    return report;
}

// A busy window is skipped; the others go on. Every window's write is sent before any answer is
// awaited; the answers are taken in window order. Each window fails alone.
void Automation::fillAtOnce(const QList<BrowserWindow*>& windows, AutomationReport& report) {
    std::vector<SentFill> fills;
    for (qsizetype i = 0; i < windows.size(); ++i) {
        logFailures(errorLog_, place::kAutoFill, report, [&] {
            if (std::optional<SentFill> fill = startFill(*windows[i], static_cast<int>(i)))
                fills.push_back(std::move(*fill));
        });
    }
    for (SentFill& fill : fills)
        logFailures(errorLog_, place::kAutoFill, report, [&] { finishFill(fill, report); });
}

std::optional<Automation::SentFill> Automation::startFill(BrowserWindow& w, int position) {
    if (w.busy())
        return std::nullopt;
    SentFill fill;
    fill.position = position;
    fill.location = w.locationUrl();
    fill.windowId = w.windowId();
    const SiteTable& table = state_.siteTable;
    const PageAddress page(fill.location);
    // The entries that would fill this window, each with its share of one batched write.
    QList<FieldEdit> edits;
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        if (e.filledWindows.contains(fill.windowId))
            continue;
        const SiteMatcher& matcher = matcherFor(i, e);
        if (!matcher.urlMatches(page) || !matcher.keywordMatches(page))
            continue;
        const QList<FieldEdit> own = editsOf(e, true);
        fill.shares.append({i, own.size()});
        edits.append(own);
    }
    if (fill.shares.isEmpty())
        return std::nullopt;
    fill.write = w.startWrite(edits, fill.location);
    return fill;
}

const SiteMatcher& Automation::matcherFor(int entry, const SiteEntry& e) {
    if (prepared_.size() <= std::size_t(entry))
        prepared_.resize(std::size_t(entry) + 1);
    std::optional<PreparedSite>& slot = prepared_[std::size_t(entry)];
    if (!slot || slot->url != e.url || slot->keyword != e.urlKeyword) {
        if (slot)
            slot->matcher.wipe();
        slot.emplace(PreparedSite{e.url, e.urlKeyword, SiteMatcher(e.url, e.urlKeyword)});
    }
    return slot->matcher;
}

void Automation::forgetSites() {
    for (std::optional<PreparedSite>& slot : prepared_) {
        if (slot)
            slot->matcher.wipe();
    }
    prepared_.clear();
}

void Automation::finishFill(SentFill& fill, AutomationReport& report) {
    const WriteResult result = fill.write->take();
    if (!result.hadForms)
        return;  // a page without forms: nothing written, no marker changes
    report.writes.append({fill.position, fill.location, result});
    // Entries whose edits all went through are filled; the one that failed stays unmarked and
    // the ones after it were never reached.
    qsizetype done = 0;
    for (const SentFill::Share& share : fill.shares) {
        if (done + share.edits > result.applied)
            break;
        done += share.edits;
        state_.siteTable.at(share.entry).filledWindows.insert(fill.windowId);
    }
    throwIfFailed(result);
}

AutomationReport Automation::tick() {
    AutomationReport report;
    if (!state_.loggedIn)
        return report;
    logFailures(errorLog_, place::kTimer, report, [&] {
        SiteTable& table = state_.siteTable;
        const auto forgetWindow = [&table](int32_t windowId) {
            for (int i = 0; i < table.siteCount(); ++i)
                table.at(i).filledWindows.erase(windowId);
        };

        const QList<std::shared_ptr<BrowserWindow>> windows = browser_.windows();
        QHash<int32_t, quint64> seen;
        seen.reserve(windows.size());
        for (const std::shared_ptr<BrowserWindow>& w : windows) {
            const int32_t windowId = w->windowId();
            // Read before the busy test: a load that starts after it is seen by the next tick.
            const quint64 loads = w->loadsStarted();
            const auto before = seenLoads_.constFind(windowId);
            if (before != seenLoads_.cend() && *before != loads)
                forgetWindow(windowId);
            seen.insert(windowId, loads);
        }
        // Closed windows leave the markers too; their numbers are never given again.
        for (auto it = seenLoads_.cbegin(); it != seenLoads_.cend(); ++it) {
            if (!seen.contains(it.key()))
                forgetWindow(it.key());
        }
        seenLoads_ = std::move(seen);

        QList<BrowserWindow*> all;
        all.reserve(windows.size());
        for (const std::shared_ptr<BrowserWindow>& w : windows)
            all.append(w.get());
        fillAtOnce(all, report);
    });
    return report;
}

}  // namespace sirano
