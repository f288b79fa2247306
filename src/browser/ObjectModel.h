// The browser as the capture and the fills see it: an ordered collection of windows, each with
// tracked state (busy, address, window id) and two page round trips, one to read and one to write.
// Implementations: ChromiumBrowser (Chromium over the DevTools protocol) and the in-memory fake of
// the tests. Every failure is a SiranoError carrying one of the numbers of store/Error.h.
#pragma once

#include "store/Error.h"

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace sirano {

struct ElementSnapshot {
    QString tagName;
    QString type;
    QString name;
    QString value;
    bool checked = false;
};

struct FormSnapshot {
    QList<ElementSnapshot> elements;
};

// Everything the capture needs of one page, read in one round trip.
struct PageSnapshot {
    QString title;
    QString url;  // the document's address
    QList<FormSnapshot> forms;
};

// One element to write: addressed by its two positions alone.
struct FieldEdit {
    int formIndex = 0;
    int elementIndex = 0;
    bool checkbox = false;
    bool checked = false;                 // for a check box
    QString value;                        // for anything else
    std::optional<QString> expectedName;  // when set, a differing element name skips the edit
};

struct WriteResult {
    bool hadForms = false;  // false: the document has no forms and nothing was written
    int applied = 0;        // edits processed (written or skipped by name) before a failure
    std::optional<SiranoError> failure;  // the first failure; later edits were not tried
};

// A page read sent and not yet answered (BrowserWindow::startRead()).
class PendingRead {
public:
    virtual ~PendingRead() = default;
    // Waits for the answer: the snapshot, or a SiranoError.
    virtual PageSnapshot take() = 0;
};

// A write sent and not yet answered (BrowserWindow::startWrite()).
class PendingWrite {
public:
    virtual ~PendingWrite() = default;
    // Waits for the answer: how far the write got, or a SiranoError.
    virtual WriteResult take() = 0;
};

class BrowserWindow {
public:
    virtual ~BrowserWindow() = default;

    // Tracked, no page round trip.
    virtual bool busy() const = 0;
    virtual QString locationUrl() const = 0;
    virtual int32_t windowId() const = 0;
    // Page loads begun in this window since it was first seen: a count that only grows, so a
    // change between two looks means a new page, even one that loaded completely in between.
    virtual quint64 loadsStarted() const = 0;

    // One round trip each, sent now and answered by take(), so that several windows can be read
    // or written at once. Never throw: a failure (the window is gone or does not answer) comes out
    // of take().
    virtual std::unique_ptr<PendingRead> startRead() = 0;
    // Writes in order, stopping at the first failure; edits before it stay written. Writes
    // nothing when the document has no forms (hadForms false). observedUrl is the address the
    // caller matched the edits against: a page that has moved to another origin since refuses
    // the write (462), so that values never reach a site they were not matched with.
    virtual std::unique_ptr<PendingWrite> startWrite(const QList<FieldEdit>& edits,
                                                     const QString& observedUrl) = 0;
    // Opens url in a new background tab of this window's browser.
    virtual void openInBackground(const QString& url) = 0;
};

class Browser {
public:
    virtual ~Browser() = default;

    // The open windows in a stable order (first seen, first listed). No browser: empty.
    // Throws SiranoError only when the browser answers wrongly.
    virtual QList<std::shared_ptr<BrowserWindow>> windows() = 0;
    // Whether a browser answers now (connecting to it when it can): windows() is empty both
    // when none runs and when it shows no page.
    virtual bool answers() = 0;
    // No window at all: starts a browser showing url. Throws SiranoError (429) when none starts.
    virtual void openInNewBrowser(const QString& url) = 0;
    // The same without waiting for the browser: returns at once, and done is called later, from
    // the event loop of the calling thread, with the failure openInNewBrowser would throw, or
    // nothing. Not called when this browser is destroyed first. By default openInNewBrowser,
    // then done at once.
    using StartDone = std::function<void(const std::optional<SiranoError>& failure)>;
    virtual void startNewBrowser(const QString& url, StartDone done) {
        try {
            openInNewBrowser(url);
        } catch (const SiranoError& e) {
            return done(e);
        }
        done(std::nullopt);
    }
    // Drops whatever it keeps of the values it wrote (at a log-out).
    virtual void forgetWrites() {}
};

}  // namespace sirano
