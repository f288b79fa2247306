#include "ExtensionBrowser.h"

#include "NativeMessaging.h"
#include "browser/Matching.h"
#include "browser/PageScripts.h"

#include <QJsonArray>

namespace sirano {

namespace {

// Edits go to the browser in parts that each stay under the 1 MiB a message may hold.
constexpr qsizetype kWritePartBytes = 768 * 1024;

SiranoError refused(const ExtensionLink::Answer& answer) {
    return SiranoError(
        err::kObjectDisconnected,
        answer.error.isEmpty() ? QStringLiteral("The browser refused the call.") : answer.error);
}

// The most an edit can take as JSON: six bytes per UTF-16 unit (\uXXXX), and its numbers.
qsizetype jsonBound(const FieldEdit& e) {
    return 64 + 6 * (e.value.size() + (e.expectedName ? e.expectedName->size() : 0));
}

QList<QJsonArray> splitEdits(const QList<FieldEdit>& edits) {
    QList<QJsonArray> parts(1);
    qsizetype bytes = 0;
    const QJsonArray encoded = pagescripts::encodeEdits(edits);
    for (qsizetype i = 0; i < edits.size(); ++i) {
        const qsizetype size = jsonBound(edits[i]);
        if (bytes + size > kWritePartBytes && !parts.last().isEmpty()) {
            parts.append(QJsonArray());
            bytes = 0;
        }
        parts.last().append(encoded[i]);
        bytes += size;
    }
    return parts;
}

class ExtensionRead final : public PendingRead {
public:
    explicit ExtensionRead(std::shared_ptr<ExtensionLink::Pending> pending)
        : pending_(std::move(pending)) {}
    PageSnapshot take() override {
        const ExtensionLink::Answer answer = pending_->wait(ExtensionBrowser::kCallTimeout);
        if (!answer.ok)
            throw refused(answer);
        return pagescripts::decodeSnapshot(answer.result);
    }

private:
    std::shared_ptr<ExtensionLink::Pending> pending_;
};

// The parts of one write: the first is sent at once, each later one when the one before it went
// through whole, so that the write stops at the first failure like a write in one piece.
class ExtensionWrite final : public PendingWrite {
public:
    ExtensionWrite(std::shared_ptr<ExtensionLink> link, int connection, QJsonObject command,
                   QList<QJsonArray> parts)
        : link_(std::move(link)),
          connection_(connection),
          command_(std::move(command)),
          parts_(std::move(parts)) {
        sent_ = sendPart(0);
    }

    WriteResult take() override {
        WriteResult total;
        for (qsizetype i = 0; i < parts_.size(); ++i) {
            if (i > 0)
                sent_ = sendPart(i);
            const ExtensionLink::Answer answer = sent_->wait(ExtensionBrowser::kCallTimeout);
            if (!answer.ok)
                throw refused(answer);
            const WriteResult part = pagescripts::decodeWriteResult(answer.result);
            total.hadForms = part.hadForms;
            total.applied += part.applied;
            if (part.failure || !part.hadForms) {
                total.failure = part.failure;
                break;
            }
        }
        return total;
    }

private:
    std::shared_ptr<ExtensionLink::Pending> sendPart(qsizetype i) {
        QJsonObject command = command_;
        command.insert(QLatin1String("edits"), parts_.at(i));
        return link_->send(connection_, command);
    }

    std::shared_ptr<ExtensionLink> link_;
    const int connection_;
    QJsonObject command_;
    QList<QJsonArray> parts_;
    std::shared_ptr<ExtensionLink::Pending> sent_;
};

class ExtensionWindow final : public BrowserWindow {
public:
    ExtensionWindow(std::shared_ptr<ExtensionLink> link, ExtensionLink::Tab tab)
        : link_(std::move(link)), seen_(std::move(tab)) {}

    bool busy() const override { return now().loading; }
    QString locationUrl() const override { return now().url; }
    int32_t windowId() const override { return seen_.windowId; }
    quint64 loadsStarted() const override { return now().loads; }

    std::unique_ptr<PendingRead> startRead() override {
        const ExtensionLink::Tab tab = now();
        return std::make_unique<ExtensionRead>(
            link_->send(seen_.connection, pageCommand("read", tab.loads, tab.url)));
    }

    std::unique_ptr<PendingWrite> startWrite(const QList<FieldEdit>& edits,
                                             const QString& observedUrl) override {
        QJsonObject command = pageCommand("write", now().loads, observedUrl);
        command.insert(QLatin1String("observedUrl"), observedUrl);
        return std::make_unique<ExtensionWrite>(link_, seen_.connection, std::move(command),
                                                splitEdits(edits));
    }

    void openInBackground(const QString& url) override {
        open(*link_, seen_.connection, url, false);
    }

    static void open(ExtensionLink& link, int connection, const QString& url, bool active) {
        const ExtensionLink::Answer answer =
            link.send(connection, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("open")},
                                              {QStringLiteral("url"), openableAddress(url)},
                                              {QStringLiteral("active"), active}})
                ->wait(ExtensionBrowser::kCallTimeout);
        if (!answer.ok)
            throw refused(answer);
    }

private:
    ExtensionLink::Tab now() const {
        return link_->tab(seen_.connection, seen_.tabId).value_or(seen_);
    }

    // A command for the page the tab shows now at url: the extension refuses it when, by the time
    // it runs, the tab has loaded another page or shows another address (a write names the
    // address its edits were matched with).
    QJsonObject pageCommand(const char* name, quint64 loads, const QString& url) const {
        return QJsonObject{{QStringLiteral("cmd"), QLatin1String(name)},
                           {QStringLiteral("tab"), seen_.tabId},
                           {QStringLiteral("loads"), static_cast<qint64>(loads)},
                           {QStringLiteral("url"), url}};
    }

    std::shared_ptr<ExtensionLink> link_;
    ExtensionLink::Tab seen_;
};

}  // namespace

ExtensionBrowser::ExtensionBrowser(std::shared_ptr<ExtensionLink> link) : link_(std::move(link)) {}

QList<std::shared_ptr<BrowserWindow>> ExtensionBrowser::windows() {
    QList<std::shared_ptr<BrowserWindow>> out;
    for (ExtensionLink::Tab& tab : link_->tabs())
        out.append(std::make_shared<ExtensionWindow>(link_, std::move(tab)));
    return out;
}

bool ExtensionBrowser::answers() {
    return !link_->connections().isEmpty();
}

void ExtensionBrowser::openInNewBrowser(const QString& url) {
    const QList<int> connections = link_->connections();
    if (connections.isEmpty())
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("No browser with SIRANO's extension is connected."));
    ExtensionWindow::open(*link_, connections.first(), url, true);
}

std::unique_ptr<ExtensionBrowser> createExtensionBrowser(QString* why) {
    try {
        return std::make_unique<ExtensionBrowser>(
            std::make_shared<ExtensionLink>(QString::fromStdString(nativemessaging::socketPath())));
    } catch (const SiranoError& e) {
        *why = e.message();
        return nullptr;
    }
}

}  // namespace sirano
