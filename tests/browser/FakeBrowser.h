// In-memory browser for the unit tests of the capture and the fills: windows with pages, forms and
// elements, busy flags, failing members with error numbers, closed windows, a count of page round
// trips and a record of what was opened. Also the recording log, actions and clock those tests
// need.
#pragma once

#include "app/AppState.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/ObjectModel.h"
#include "store/DateTimeText.h"
#include "support/Entries.h"
#include "support/FixedClock.h"
#include "support/RecordingActions.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace sirano::test {

struct FakeElement {
    QString tagName = QStringLiteral("INPUT");  // as pages report it
    QString type = QStringLiteral("text");
    QString name;
    QString value;
    bool checked = false;
    int writeFailure = 0;  // non-zero: writing Value or Checked fails with this number
    int writes = 0;        // how often Value or Checked was written

    static FakeElement text(const QString& name, const QString& value = {}) {
        return {QStringLiteral("INPUT"), QStringLiteral("text"), name, value};
    }
    static FakeElement password(const QString& name, const QString& value = {}) {
        return {QStringLiteral("INPUT"), QStringLiteral("password"), name, value};
    }
    static FakeElement hidden(const QString& name = QStringLiteral("token")) {
        return {QStringLiteral("INPUT"), QStringLiteral("hidden"), name, QStringLiteral("x")};
    }
    static FakeElement checkbox(const QString& name, bool checked = false) {
        return {QStringLiteral("INPUT"), QStringLiteral("checkbox"), name, QStringLiteral("on"),
                checked};
    }
    static FakeElement of(const QString& tagName, const QString& type, const QString& name,
                          const QString& value = {}) {
        return {tagName, type, name, value};
    }
};

using FakeForm = QList<FakeElement>;

class FakeWindow final : public BrowserWindow {
public:
    FakeWindow(int32_t windowId, QString location, QList<FakeForm> forms, QString title)
        : location(std::move(location)),
          title(std::move(title)),
          forms(std::move(forms)),
          windowId_(windowId) {}

    bool busy() const override { return isBusy; }
    QString locationUrl() const override { return location; }
    int32_t windowId() const override { return windowId_; }
    quint64 loadsStarted() const override { return loads; }

    // A new page in this window: every element starts empty again; busy until finished.
    void reload(bool finished = true) {
        ++loads;
        isBusy = !finished;
        for (FakeForm& form : forms) {
            for (FakeElement& e : form) {
                e.value.clear();
                e.checked = false;
            }
        }
    }

    // What a read answers, at once.
    PageSnapshot readPage() {
        ++roundTrips;
        failIfUnreachable();
        if (readFailure)
            throw SiranoError(readFailure, QStringLiteral("read refused"));
        PageSnapshot page;
        page.title = title;
        page.url = documentUrl.isEmpty() ? location : documentUrl;
        for (const FakeForm& form : forms) {
            FormSnapshot f;
            for (const FakeElement& e : form)
                f.elements.append({e.tagName, e.type, e.name, e.value, e.checked});
            page.forms.append(f);
        }
        return page;
    }

    // Sent at once: the round trip counts now and the page answers as it is now; the answer is
    // handed over by take(). Both moments go to the browser's record of page calls.
    std::unique_ptr<PendingRead> startRead() override {
        return std::make_unique<Sent<PendingRead, PageSnapshot>>(*this, QString(),
                                                                 [this] { return readPage(); });
    }
    std::unique_ptr<PendingWrite> startWrite(const QList<FieldEdit>& edits,
                                             const QString& observedUrl) override {
        observedUrls.append(observedUrl);
        return std::make_unique<Sent<PendingWrite, WriteResult>>(
            *this, QStringLiteral("write "), [this, edits] { return writeFields(edits); });
    }

    // What a write answers, at once.
    WriteResult writeFields(const QList<FieldEdit>& edits) {
        ++roundTrips;
        failIfUnreachable();
        writeCalls.append(edits);
        WriteResult result;
        result.hadForms = !forms.isEmpty();
        if (!result.hadForms)
            return result;
        for (const FieldEdit& edit : edits) {
            if (edit.formIndex < 0 || edit.formIndex >= forms.size() || edit.elementIndex < 0 ||
                edit.elementIndex >= forms[edit.formIndex].size()) {
                result.failure = SiranoError(err::kObjectNotSet, QStringLiteral("no such element"));
                return result;
            }
            FakeElement& e = forms[edit.formIndex][edit.elementIndex];
            if (edit.expectedName && *edit.expectedName != e.name) {
                ++result.applied;
                continue;
            }
            if (e.writeFailure) {
                result.failure = SiranoError(e.writeFailure, QStringLiteral("write refused"));
                return result;
            }
            if (edit.checkbox)
                e.checked = edit.checked;
            else
                e.value = edit.value;
            ++e.writes;
            ++result.applied;
        }
        return result;
    }

    void openInBackground(const QString& url) override {
        failIfUnreachable();
        openedInBackground.append(url);
    }

    FakeElement& element(int form, int index) { return forms[form][index]; }

    // The page, freely changed by the tests.
    bool isBusy = false;
    quint64 loads = 0;
    bool closed = false;  // gone: every page call fails with 462, tracked state stays readable
    int readFailure = 0;  // non-zero: readPage() fails with this number
    QString location;
    QString documentUrl;  // the document's own address when it differs from the location
    QString title;
    QList<FakeForm> forms;

    // What happened.
    int roundTrips = 0;
    QList<QList<FieldEdit>> writeCalls;
    QStringList observedUrls;  // the address each write was matched against
    QStringList openedInBackground;

    // Where sent and taken page calls are recorded ("send <title>", "take <title>" for reads,
    // "send write <title>", "take write <title>"), if anywhere.
    std::shared_ptr<QStringList> pageCalls;

private:
    template <typename Pending, typename Answer>
    class Sent final : public Pending {
    public:
        Sent(FakeWindow& w, QString what, const std::function<Answer()>& call)
            : w_(w), what_(std::move(what)) {
            w_.note(QStringLiteral("send ") + what_ + w_.title);
            try {
                answer_ = call();
            } catch (const SiranoError& e) {
                failure_ = e;
            }
        }
        Answer take() override {
            w_.note(QStringLiteral("take ") + what_ + w_.title);
            if (failure_)
                throw *failure_;
            return answer_;
        }

    private:
        FakeWindow& w_;
        const QString what_;
        Answer answer_;
        std::optional<SiranoError> failure_;
    };

    void note(const QString& what) {
        if (pageCalls)
            pageCalls->append(what);
    }
    void failIfUnreachable() const {
        if (closed)
            throw SiranoError(err::kObjectDisconnected, QStringLiteral("window gone"));
    }
    int32_t windowId_;
};

class FakeBrowser final : public Browser {
public:
    FakeWindow& addWindow(const QString& location, QList<FakeForm> forms = {},
                          const QString& title = QStringLiteral("Page")) {
        auto w = std::make_shared<FakeWindow>(nextWindowId_++, location, std::move(forms), title);
        w->pageCalls = pageCalls;
        windows_.append(w);
        return *w;
    }
    FakeWindow& window(int i) { return *windows_[i]; }
    // Gone from the list; the test's reference stays valid.
    void closeWindow(const FakeWindow& w) {
        for (qsizetype i = 0; i < windows_.size(); ++i) {
            if (windows_[i].get() == &w)
                closed_.append(windows_.takeAt(i));
        }
    }

    QList<std::shared_ptr<BrowserWindow>> windows() override {
        ++listings;
        if (windowsFailure)
            throw SiranoError(windowsFailure, QStringLiteral("browser answered wrongly"));
        return {windows_.begin(), windows_.end()};
    }

    bool answers() override { return running; }

    void openInNewBrowser(const QString& url) override {
        if (startFailure)
            throw SiranoError(startFailure, QStringLiteral("no browser"));
        openedInNewBrowser.append(url);
    }

    // With answersLater, as the tray's browser: the start is recorded and its answer kept in
    // laterAnswer for the test to give.
    void startNewBrowser(const QString& url, StartDone done) override {
        if (!answersLater)
            return Browser::startNewBrowser(url, std::move(done));
        openedInNewBrowser.append(url);
        laterAnswer = std::move(done);
    }

    void forgetWrites() override { ++forgetCalls; }

    int pageRoundTrips() const {
        int n = 0;
        for (const auto& w : windows_)
            n += w->roundTrips;
        return n;
    }

    // Every window's sent and taken page calls, in the order they happened.
    const std::shared_ptr<QStringList> pageCalls = std::make_shared<QStringList>();
    int windowsFailure = 0;  // non-zero: windows() fails with this number
    int startFailure = 0;    // non-zero: openInNewBrowser() fails with this number
    int listings = 0;
    int forgetCalls = 0;
    bool running = true;  // answers()
    QStringList openedInNewBrowser;
    bool answersLater = false;
    StartDone laterAnswer;

private:
    QList<std::shared_ptr<FakeWindow>> windows_;
    QList<std::shared_ptr<FakeWindow>> closed_;
    int32_t nextWindowId_ = 0x10010;
};

class RecordingErrorLog final : public ErrorLog {
public:
    void logError(int16_t placeCode, int32_t errNumber) override {
        lines.append({placeCode, errNumber});
    }
    QList<QPair<int, int>> lines;  // (place code, number)
};

// One logged-in state with a fake browser and everything the automation needs.
struct AutomationFixture {
    AppState state;
    FakeBrowser browser;
    RecordingErrorLog log;
    RecordingActions actions{state};
    FixedClock clock;
    Automation automation{state, browser, log, actions};

    AutomationFixture() { state.loggedIn = true; }

    // Appends an entry with the given fields (form, element, type, name, value).
    SiteEntry& addEntry(const QString& url, const QList<SiteField>& fields = {},
                        const QString& keyword = {}) {
        SiteEntry e;
        e.title = url;
        e.url = url;
        e.urlKeyword = keyword;
        for (int j = 0; j < fields.size(); ++j)
            e.setField(j, fields[j]);
        return state.siteTable.append(e);
    }
};

// The page of the fill tests: user name, password and a "keep me logged in" box, all empty.
inline QList<FakeForm> loginForms() {
    return {
        {FakeElement::text("user"), FakeElement::password("pw"), FakeElement::checkbox("keep")}};
}

}  // namespace sirano::test
