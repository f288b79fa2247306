// What a ChromiumBrowser shares with its windows (which may outlive it): the connection and the
// pages it tracks, and the calls every window makes. Not for use outside this folder.
#pragma once

#include "BrowserEndpoint.h"
#include "ChromiumBrowser.h"
#include "PageTracker.h"

#include <QByteArray>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>

namespace sirano {

// A call to the browser that failed: the window or the browser went away, or did not answer.
SiranoError disconnected(const QString& why);

// A text as a JSON string, quotes included.
QByteArray jsonString(const QString& text);

struct ChromiumBrowser::Core {
    explicit Core(Options o) : options(std::move(o)) {}

    bool ensureConnected();
    // ensureConnected, or with inBackground: true when connected; else starts connecting on a
    // thread of its own (when none does yet) and is false meanwhile.
    bool connectedNow();
    // Waits until the browser started as pid has written its DevToolsActivePort anew and takes
    // the connection; false when it ends or does not within the launch's startTimeout, or stop
    // is asked.
    bool awaitStarted(qint64 pid, const PortFileStamp& before, std::stop_token stop = {});
    // url in a new tab of the browser that answers; else starts Chromium (its process id in
    // startedPid), waits for it and opens url in place of its start tab. Throws SiranoError
    // (429 when the browser does not come in time, or stop is asked).
    void openOrStart(const QString& url, std::atomic<qint64>& startedPid,
                     std::stop_token stop = {});
    // A new tab showing url; in a browser just started it takes the place of the start page.
    void openAddress(const QString& url, bool replaceStartPage);
    void browserCall(const QString& method, const QJsonObject& params);

    // A call sent to a page's isolated world.
    struct WorldCall {
        QString world;
        bool calledKeptFunction = false;  // a write through the function kept in the world
        std::shared_ptr<PendingCall> call;
    };
    // Sends a call into the page's current world (made when needed). Throws SiranoError 462 when
    // the page has no world for it.
    using SendToWorld = std::function<WorldCall(const QString& world)>;
    WorldCall sendToWorld(const std::shared_ptr<TrackedPage>& page, const SendToWorld& send);
    // The answer of a call sent to a world. When the world's document went away meanwhile,
    // forgets that world and sends once more, into a new one; sent then describes that call.
    // Any other refusal, a timeout or a closed page is SiranoError 462.
    CdpReply answerInWorld(const std::shared_ptr<TrackedPage>& page, WorldCall& sent,
                           const SendToWorld& send);

    std::shared_ptr<PendingCall> startPageCall(const std::shared_ptr<TrackedPage>& page,
                                               const QString& method, const QByteArray& params);
    // The arguments of a write call: the edits (encoded once for all the windows a fill writes
    // the same list to) and the address the caller matched.
    QByteArray writeArguments(const QList<FieldEdit>& edits, const QString& observedUrl);
    // One Runtime.callFunctionOn in world: on the write function kept there when there is one,
    // else with the whole function.
    WorldCall sendWrite(const std::shared_ptr<TrackedPage>& page, const QString& world,
                        const QByteArray& arguments);

    const Options options;
    PageTracker tracker;
    QList<FieldEdit> lastEdits;  // shares its data with the caller's list while it is the same
    QByteArray lastEditsJson;
    std::chrono::steady_clock::time_point retryAfter{};
    std::chrono::milliseconds nextBackOff{std::chrono::seconds(5)};
    // No connection before a wait that grows with each failed one in a row.
    void backOff();

    // With inBackground: while set, the connector thread owns the connection's set-up.
    std::atomic<bool> connecting{false};
    std::jthread connector;  // last: joined before the rest goes
};

}  // namespace sirano
