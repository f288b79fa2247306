#include "ChromiumWindow.h"

#include "browser/PageScripts.h"
#include "browser/Matching.h"

#include <QJsonDocument>

namespace sirano {
namespace {

// Chromium's answers when the world's document is gone.
bool isStaleContext(const QString& message) {
    return message.contains(QLatin1String("Cannot find context")) ||
           message.contains(QLatin1String("Could not find object with given id"));
}

// The answer of a page call, or the failure a timeout or a closed page is.
CdpReply answered(CdpReply reply) {
    switch (reply.status) {
        case CdpReply::Status::Timeout:
            throw disconnected(
                QStringLiteral("The page did not answer in time (%1).").arg(reply.message));
        case CdpReply::Status::Closed:
            throw disconnected(reply.message);
        default:
            return reply;
    }
}

const QByteArray& writeFunction() {
    static const QByteArray encoded = jsonString(pagescripts::writeFunction());
    return encoded;
}

// Calls the write function kept in the page's world, which it is called on.
const QByteArray& callWriter() {
    static const QByteArray encoded = jsonString(
        QStringLiteral("function (edits, observedUrl) { return this(edits, observedUrl); }"));
    return encoded;
}

QJsonObject readParams(const QString& world) {
    return QJsonObject{{QStringLiteral("expression"), pagescripts::readExpression()},
                       {QStringLiteral("returnByValue"), true},
                       {QStringLiteral("silent"), true},
                       {QStringLiteral("contextId"), world.toLongLong()}};
}

// The value the page script returned; SiranoError 438 when it threw.
QJsonObject scriptValue(const CdpReply& reply) {
    const QJsonObject exception = reply.result.value(QLatin1String("exceptionDetails")).toObject();
    if (!exception.isEmpty()) {
        const QString text = exception.value(QLatin1String("exception"))
                                 .toObject()
                                 .value(QLatin1String("description"))
                                 .toString();
        throw SiranoError(
            err::kNoSuchMember,
            QStringLiteral("The page refused the call: %1")
                .arg(text.isEmpty() ? exception.value(QLatin1String("text")).toString() : text));
    }
    return reply.result.value(QLatin1String("result"))
        .toObject()
        .value(QLatin1String("value"))
        .toObject();
}

using Core = ChromiumBrowser::Core;

class ChromiumRead final : public PendingRead {
public:
    ChromiumRead(std::shared_ptr<Core> core, std::shared_ptr<TrackedPage> page)
        : core_(std::move(core)), page_(std::move(page)) {
        try {
            sent_ = core_->sendToWorld(page_, send());
        } catch (const SiranoError& e) {
            failure_ = e;
        }
    }

    PageSnapshot take() override {
        if (failure_)
            throw *failure_;
        return pagescripts::decodeSnapshot(scriptValue(core_->answerInWorld(page_, sent_, send())));
    }

private:
    Core::SendToWorld send() {
        return [this](const QString& world) {
            return Core::WorldCall{
                world, false,
                core_->startPageCall(
                    page_, QStringLiteral("Runtime.evaluate"),
                    QJsonDocument(readParams(world)).toJson(QJsonDocument::Compact))};
        };
    }

    std::shared_ptr<Core> core_;
    std::shared_ptr<TrackedPage> page_;
    Core::WorldCall sent_;
    std::optional<SiranoError> failure_;
};

class ChromiumWrite final : public PendingWrite {
public:
    ChromiumWrite(std::shared_ptr<Core> core, std::shared_ptr<TrackedPage> page,
                  const QList<FieldEdit>& edits, const QString& observedUrl)
        : core_(std::move(core)), page_(std::move(page)) {
        try {
            arguments_ = core_->writeArguments(edits, observedUrl);
            sent_ = core_->sendToWorld(page_, send());
        } catch (const SiranoError& e) {
            failure_ = e;
        }
    }

    WriteResult take() override {
        if (failure_)
            throw *failure_;
        const CdpReply reply = core_->answerInWorld(page_, sent_, send());
        if (!sent_.calledKeptFunction)
            core_->tracker.requestWriter(page_, sent_.world);
        return pagescripts::decodeWriteResult(scriptValue(reply));
    }

private:
    Core::SendToWorld send() {
        return [this](const QString& world) { return core_->sendWrite(page_, world, arguments_); };
    }

    std::shared_ptr<Core> core_;
    std::shared_ptr<TrackedPage> page_;
    QByteArray arguments_;
    Core::WorldCall sent_;
    std::optional<SiranoError> failure_;
};

class ChromiumWindow final : public BrowserWindow {
public:
    ChromiumWindow(std::shared_ptr<Core> core, std::shared_ptr<TrackedPage> page)
        : core_(std::move(core)), page_(std::move(page)) {}

    bool busy() const override { return core_->tracker.busy(*page_); }
    QString locationUrl() const override { return core_->tracker.url(*page_); }
    int32_t windowId() const override { return page_->windowId; }
    quint64 loadsStarted() const override { return core_->tracker.loadsStarted(*page_); }

    std::unique_ptr<PendingRead> startRead() override {
        return std::make_unique<ChromiumRead>(core_, page_);
    }

    std::unique_ptr<PendingWrite> startWrite(const QList<FieldEdit>& edits,
                                             const QString& observedUrl) override {
        // Only the origin the caller matched may receive the values: the write function refuses
        // them in a page that moved to another site meanwhile.
        const QString origin = observedUrl.startsWith(QLatin1String("http"), Qt::CaseInsensitive)
                                   ? observedUrl
                                   : QString();
        return std::make_unique<ChromiumWrite>(core_, page_, edits, origin);
    }

    void openInBackground(const QString& url) override {
        // A hand-shortened address would otherwise open an empty tab.
        core_->browserCall(QStringLiteral("Target.createTarget"),
                           QJsonObject{{QStringLiteral("url"), openableAddress(url)},
                                       {QStringLiteral("background"), true}});
    }

private:
    std::shared_ptr<Core> core_;
    std::shared_ptr<TrackedPage> page_;
};

}  // namespace

std::shared_ptr<BrowserWindow> makeChromiumWindow(std::shared_ptr<Core> core,
                                                  std::shared_ptr<TrackedPage> page) {
    return std::make_shared<ChromiumWindow>(std::move(core), std::move(page));
}

// ---- page calls ----

std::shared_ptr<PendingCall> Core::startPageCall(const std::shared_ptr<TrackedPage>& page,
                                                 const QString& method, const QByteArray& params) {
    return tracker.connection().startEncoded(method, params, tracker.sessionOf(*page),
                                             PageTracker::stallHook(page));
}

Core::WorldCall Core::sendToWorld(const std::shared_ptr<TrackedPage>& page,
                                  const SendToWorld& send) {
    return send(tracker.world(page, options.callTimeout));
}

CdpReply Core::answerInWorld(const std::shared_ptr<TrackedPage>& page, WorldCall& sent,
                             const SendToWorld& send) {
    CdpReply reply = answered(sent.call->wait(options.callTimeout));
    if (reply.status == CdpReply::Status::Error && isStaleContext(reply.message)) {
        // The document changed under the world: once more, in a new one.
        tracker.forgetWorld(*page, sent.world);
        sent = sendToWorld(page, send);
        reply = answered(sent.call->wait(options.callTimeout));
    }
    if (reply.status == CdpReply::Status::Error)
        throw disconnected(QStringLiteral("The browser refused the call: %1").arg(reply.message));
    return reply;
}

QByteArray Core::writeArguments(const QList<FieldEdit>& edits, const QString& observedUrl) {
    if (edits.isEmpty() || edits.constData() != lastEdits.constData() ||
        edits.size() != lastEdits.size()) {
        lastEdits = edits;
        lastEditsJson =
            QJsonDocument(pagescripts::encodeEdits(edits)).toJson(QJsonDocument::Compact);
    }
    return "[{\"value\":" + lastEditsJson + "},{\"value\":" + jsonString(observedUrl) + "}]";
}

// The call carries only the edits when the world keeps the write function; with the whole
// function otherwise, after which the world gets one.
Core::WorldCall Core::sendWrite(const std::shared_ptr<TrackedPage>& page, const QString& world,
                                const QByteArray& arguments) {
    const QString writer = tracker.writerOf(*page, world);
    const bool kept = !writer.isEmpty();
    const QByteArray target =
        kept ? "\"functionDeclaration\":" + callWriter() + ",\"objectId\":" + jsonString(writer)
             : "\"functionDeclaration\":" + writeFunction() +
                   ",\"executionContextId\":" + world.toLatin1();
    const QByteArray params =
        '{' + target + ",\"arguments\":" + arguments + ",\"returnByValue\":true,\"silent\":true}";
    return WorldCall{world, kept,
                     startPageCall(page, QStringLiteral("Runtime.callFunctionOn"), params)};
}

}  // namespace sirano
