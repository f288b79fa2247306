// The Browser of the capture and the fills, over Chromium's DevTools protocol.
//
// One connection to the browser endpoint, with target discovery and browser-level auto-attach to
// every page. Events, handled on the connection's worker thread, keep each page's state current:
// order of first sight, a number of our own as windowId, busy, address. So windows() and the
// tracked properties cost no protocol command at all; a read or a write costs one each
// (ChromiumWindow.cpp).
//
// A page is busy until it is attached and its state known, from Page.frameStartedLoading to
// Page.frameStoppedLoading of its main frame (a page found already loading: document.readyState
// on first sight), while a JavaScript dialog is open, and while a command to it went unanswered.
//
// Needs a QCoreApplication (the connection's thread runs a Qt event loop). Callers use it from
// one thread; they block there, without an event loop, for at most callTimeout per call.
#pragma once

#include "ChromiumLauncher.h"
#include "browser/ObjectModel.h"

#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace sirano {

class ChromiumBrowser final : public Browser {
public:
    struct Options {
        QString profileFolder;        // holds DevToolsActivePort; the profile of a new browser
        std::optional<quint16> port;  // a browser at this loopback port instead
        LaunchOptions launch;
        std::chrono::milliseconds callTimeout{2000};
        // Runs between the check of the port's listener and the connection to it: lets a test
        // put another listener in its place there, as a race could.
        std::function<void()> afterListenerCheck;
        // The tray's way: nothing waits for the browser on the calling thread. startNewBrowser
        // returns at once and answers from the event loop, and a connection is made on a
        // thread of its own while windows() lists none. Else both wait, as a command that ends
        // when it returns wants.
        bool inBackground = false;
    };

    struct Traffic {
        quint64 commands = 0;  // every command sent, the background ones included
        quint64 waited = 0;    // commands a caller waited for (the round trips of an operation)
    };

    explicit ChromiumBrowser(Options options);
    ~ChromiumBrowser() override;

    QList<std::shared_ptr<BrowserWindow>> windows() override;
    bool answers() override;
    void openInNewBrowser(const QString& url) override;
    // With inBackground: on a thread of its own with a connection of its own, opens the
    // address in the browser that answers, or starts Chromium, waits for it and opens it there.
    void startNewBrowser(const QString& url, StartDone done) override;
    void forgetWrites() override;

    Traffic traffic() const;
    // Process id of the last browser started by openInNewBrowser() or startNewBrowser(), 0 if
    // none.
    qint64 lastStartedPid() const { return lastStartedPid_; }

    struct Core;  // shared with the windows, which may outlive this object

private:
    std::shared_ptr<Core> core_;
    std::atomic<qint64> lastStartedPid_{0};  // set by a starter thread too
    // Lives on the thread that made this browser: the starters' answers are delivered there.
    std::unique_ptr<QObject> answers_;
    // Each waits for a browser it started; stopped and joined before answers_ goes.
    struct Starter {
        std::shared_ptr<std::atomic<bool>> finished;
        std::jthread thread;
    };
    std::vector<Starter> starters_;
};

// The browser found through <profileFolder>/DevToolsActivePort (the program's own profile), or at
// a given loopback port; either only when the port's listener belongs to our own user.
// openInNewBrowser() starts Chromium detached on profileFolder, without the address, and opens
// the address over the protocol once the browser listens.
std::unique_ptr<Browser> createChromiumBrowser(const QString& profileFolder,
                                               std::optional<quint16> port = std::nullopt,
                                               bool inBackground = false);

}  // namespace sirano
