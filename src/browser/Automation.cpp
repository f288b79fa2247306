#include "Automation.h"

#include <QUrl>
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>

namespace sirano {
namespace {

// Runs one handler body under its error handler: any failure is logged with the place code and
// ends the body. Nothing reaches the event loop.
template <typename Body>
void guarded(ErrorLog& log, int16_t placeCode, Body&& body) {
    try {
        body();
    } catch (const SiranoError& e) {
        log.logError(placeCode, e.number());
    } catch (const std::exception&) {
        log.logError(placeCode, err::kInternalError);
    }
}

int16_t position16(int position) {
    if (position < 0 || position > std::numeric_limits<int16_t>::max())
        throw SiranoError(err::kOverflow, QStringLiteral("Overflow: position %1").arg(position));
    return static_cast<int16_t>(position);
}

bool isTextLike(const QString& lowerType, const QString& value) {
    // Every exclusion is checked, as the one combined test it is; no early exit is observable.
    static const QLatin1String kExcluded[] = {QLatin1String("hidden"), QLatin1String("radio"),
                                              QLatin1String("checkbox"), QLatin1String("submit"),
                                              QLatin1String("button")};
    bool excluded = false;
    for (const QLatin1String& t : kExcluded)
        excluded = excluded || lowerType == t;
    return !excluded && !value.isEmpty();
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

// Clock minutes crossed between two times: 10:00:59 to 10:01:00 counts one. Counted on the real
// time line, so a daylight-saving change neither adds nor removes an hour.
qint64 minuteBoundaries(const QDateTime& from, const QDateTime& to) {
    const auto minuteOf = [](const QDateTime& t) {
        const qint64 s = t.toSecsSinceEpoch();
        return s >= 0 ? s / 60 : -((-s + 59) / 60);
    };
    return minuteOf(to) - minuteOf(from);
}

}  // namespace

void Automation::mnuMemoryClick() {
    if (!state.loggedIn)
        return;
    guarded(errorLog, place::kCapture, [&] {
        SiteTable& table = state.siteTable;
        const QList<std::shared_ptr<BrowserWindow>> windows = browser.windows();
        for (const std::shared_ptr<BrowserWindow>& w : windows) {
            if (w->busy())
                continue;
            // The address is tracked, so it is tested before the page is read.
            if (!w->locationUrl().startsWith(QLatin1String("http")))
                continue;
            const PageSnapshot page = w->readPage();
            if (page.forms.isEmpty())
                continue;

            const int s = table.siteCount();
            SiteEntry& slot = table.at(s);  // error 9 when all 1001 slots are in use
            slot.title = page.title;
            slot.url = page.url;
            slot.setFieldCount(0);  // the slot's keyword and marker stay
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
            if (n > 0)
                table.setSiteCount(s + 1);
        }
        hooks.saveSirano();
        hooks.menuSirano();
    });
}

void Automation::mnuIpClick(int16_t index) {
    guarded(errorLog, place::kOpenSite, [&] {
        bool handled = false;
        if (index < 0 || index >= state.siteTable.siteCount())
            throw SiranoError(err::kSubscriptOutOfRange,
                              QStringLiteral("Subscript out of range: site %1").arg(index));
        const SiteEntry& e = state.siteTable.at(index);
        const QList<FieldEdit> edits = editsOf(e, false);
        const bool writesText =
            std::any_of(edits.begin(), edits.end(), [](const FieldEdit& f) { return !f.checkbox; });

        const QList<std::shared_ptr<BrowserWindow>> windows = browser.windows();
        for (const std::shared_ptr<BrowserWindow>& w : windows) {
            if (w->busy() || !urlMatches(w->locationUrl(), e.url))
                continue;
            // An entry without fields writes nothing anywhere: no need to ask the page.
            if (edits.isEmpty())
                continue;
            const WriteResult result = w->writeFields(edits);
            if (!result.hadForms)
                continue;
            throwIfFailed(result);
            handled = handled || writesText;
        }

        if (handled)
            return;
        if (!windows.isEmpty())
            windows.first()->openInBackground(e.url);
        else
            browser.openInNewBrowser(e.url);
    });
}

void Automation::autoFillWindow(BrowserWindow& w) {
    if (!state.loggedIn)
        return;
    guarded(errorLog, place::kAutoFill, [&] {
        if (w.busy())
            return;
        const QString location = w.locationUrl();
        const int32_t hwnd = w.hwnd();
        SiteTable& table = state.siteTable;

        // The entries that would fill this window, each with its share of one batched write.
        struct Part {
            int entry;
            qsizetype edits;
        };
        QList<Part> parts;
        QList<FieldEdit> edits;
        for (int i = 0; i < table.siteCount(); ++i) {
            const SiteEntry& e = table.at(i);
            if (e.filledHwnd == hwnd || !urlMatches(location, e.url) ||
                !keywordMatches(location, e.urlKeyword))
                continue;
            const QList<FieldEdit> own = editsOf(e, true);
            parts.append({i, own.size()});
            edits.append(own);
        }
        if (parts.isEmpty())
            return;

        const WriteResult result = w.writeFields(edits);
        if (!result.hadForms)
            return;  // a page without forms: nothing written, no marker changes
        // Entries whose edits all went through are filled; the one that failed keeps its old
        // marker and the ones after it were never reached.
        qsizetype done = 0;
        for (const Part& p : parts) {
            if (done + p.edits > result.applied)
                break;
            done += p.edits;
            table.at(p.entry).filledHwnd = hwnd;
        }
        throwIfFailed(result);
    });
}

void Automation::timer1Timer() {
    if (!state.loggedIn)
        return;
    guarded(errorLog, place::kTimer, [&] {
        const int16_t minutes = state.settings.autoLogoutMinutes;
        if (minutes > 0) {
            const std::optional<QDateTime> loginTime = parseDateTimeText(state.loginTime);
            if (!loginTime)
                throw SiranoError(
                    err::kTypeMismatch,
                    QStringLiteral("Type mismatch: log-in time \"%1\"").arg(state.loginTime));
            if (minuteBoundaries(*loginTime, clock.now()) > minutes)
                hooks.logout();
        }

        const QList<std::shared_ptr<BrowserWindow>> windows = browser.windows();
        for (const std::shared_ptr<BrowserWindow>& w : windows) {
            if (w->busy()) {
                // A page is loading: every entry becomes eligible again, and the later windows
                // wait for a tick in which nothing loads.
                for (int i = 0; i < state.siteTable.siteCount(); ++i)
                    state.siteTable.at(i).filledHwnd = 0;
                return;
            }
            autoFillWindow(*w);
        }
    });
}

}  // namespace sirano
