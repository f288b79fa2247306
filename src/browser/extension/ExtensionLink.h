// The tray's end of the companion extension: a Unix socket in the user's runtime folder (folder
// 0700, socket 0600) where each sirano-host, started by a browser for its extension, connects.
// Only peers of the tray's own user are served. Each connection is one browser; the link keeps
// its tabs as the extension reports them and carries commands to it.
//
// Threads: the socket and every message run on a worker thread of the link's own; callers on any
// other thread read the tabs under a lock and wait for answers with a timeout, never running an
// event loop.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace sirano {

class ExtensionLink {
public:
    // A tab of a connected browser, as its extension last reported it.
    struct Tab {
        int connection = 0;
        qint64 tabId = 0;
        int32_t windowId = 0;  // assigned here at first sight, never reused
        QString url;
        bool loading = false;
        quint64 loads = 0;  // top-frame navigations since the extension first saw the tab
    };

    // The answer to a command: ok with its result, or the reason it failed.
    struct Answer {
        bool ok = false;
        QJsonObject result;
        QString error;
    };
    class Pending {
    public:
        virtual ~Pending() = default;
        // Waits at most timeout; a second wait gives the same answer.
        virtual Answer wait(std::chrono::milliseconds timeout) = 0;
    };

    // Listens at socketPath (making its folder 0700 when missing). Throws SiranoError (75) when
    // the folder is not the user's own and private, or another tray already listens there.
    explicit ExtensionLink(const QString& socketPath);
    ~ExtensionLink();
    ExtensionLink(const ExtensionLink&) = delete;
    ExtensionLink& operator=(const ExtensionLink&) = delete;

    // Connections whose extension has said hello.
    QList<int> connections() const;
    // Every tab of every connection, first seen first.
    QList<Tab> tabs() const;
    std::optional<Tab> tab(int connection, qint64 tabId) const;
    // Sends command (its "id" set here) to the connection's extension. A command that would be
    // 1 MiB or more, or a connection gone, answers at once with the failure.
    std::shared_ptr<Pending> send(int connection, QJsonObject command);

    // Counted for the tests and benchmarks.
    quint64 messagesSent() const;
    quint64 peersRefused() const;

private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace sirano
