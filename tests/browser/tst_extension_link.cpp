// The tray's socket for the companion extension, without a browser: real sirano-host processes
// (fed what a browser would write on their stdin) and raw peers.
#include "ExtensionSetup.h"
#include "browser/extension/ExtensionBrowser.h"
#include "browser/extension/ExtensionLink.h"
#include "store/Error.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QJsonArray>
#include <QProcess>
#include <QtTest>
#include <cstring>
#include <thread>

using namespace sirano;
using namespace sirano::test;
using namespace std::chrono_literals;

namespace {

QByteArray frame(const QJsonObject& message) {
    const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
    const auto length = static_cast<std::uint32_t>(text.size());
    return QByteArray(reinterpret_cast<const char*>(&length), 4) + text;
}

// Written whole to a host's stdin before the test goes on without an event loop.
void feed(QProcess& host, const QByteArray& bytes) {
    host.write(bytes);
    while (host.bytesToWrite() > 0 && host.waitForBytesWritten(5000)) {
    }
}

// waitForFinished() is false for a process already ended.
bool ends(QProcess& host) {
    return host.state() == QProcess::NotRunning || host.waitForFinished(5000);
}

// The next whole message on a host's stdout.
QJsonObject readFrame(QProcess& host) {
    QElapsedTimer clock;
    clock.start();
    while (host.bytesAvailable() < 4 && clock.elapsed() < 5000)
        host.waitForReadyRead(100);
    std::uint32_t length = 0;
    std::memcpy(&length, host.read(4).constData(), 4);
    while (host.bytesAvailable() < length && clock.elapsed() < 5000)
        host.waitForReadyRead(100);
    return QJsonDocument::fromJson(host.read(length)).object();
}

QJsonObject tab(int id, const QString& url, bool loading = false, int loads = 1) {
    return {{QStringLiteral("id"), id},
            {QStringLiteral("url"), url},
            {QStringLiteral("loading"), loading},
            {QStringLiteral("loads"), loads}};
}

QJsonObject hello(const QJsonArray& tabs) {
    return {{QStringLiteral("type"), QStringLiteral("hello")},
            {QStringLiteral("access"), true},
            {QStringLiteral("tabs"), tabs}};
}

// sirano-host as a browser starts it: for Chromium the extension's origin is its one argument.
std::unique_ptr<QProcess> startHost() {
    auto host = std::make_unique<QProcess>();
    host->setProgram(QStringLiteral(SIRANO_HOST_BINARY));
    host->setArguments(
        {QStringLiteral("chrome-extension://%1/").arg(QLatin1String(kChromiumExtensionId))});
    host->start();
    host->waitForStarted(5000);
    return host;
}

int connectRaw(const QString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    std::memcpy(address.sun_path, p.constData(), static_cast<size_t>(p.size()) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

class TestExtensionLink : public QObject {
    Q_OBJECT

private:
    RuntimeFolder runtime_;

private Q_SLOTS:
    // Two browsers at once, each through a host of its own: both listed, each answering its own.
    void twoHostsAtOnceAreBothServed() {
        ExtensionLink link(runtime_.socketPath());
        auto first = startHost();
        auto second = startHost();
        feed(*first, frame(hello({tab(7, QStringLiteral("http://a.test/"))})));
        feed(*second, frame(hello({tab(7, QStringLiteral("http://b.test/"), true),
                                   tab(9, QStringLiteral("http://c.test/"))})));
        QVERIFY(QTest::qWaitFor([&] { return link.tabs().size() == 3; }, 5000));
        QCOMPARE(link.connections().size(), 2);
        QSet<int32_t> ids;
        for (const ExtensionLink::Tab& t : link.tabs())
            ids.insert(t.windowId);
        QCOMPARE(ids.size(), 3);  // tab 7 of each browser is a window of its own

        // Commands reach the browser they name; answers come back to their caller.
        const QList<ExtensionLink::Tab> tabs = link.tabs();
        const ExtensionLink::Tab b = *std::find_if(tabs.begin(), tabs.end(), [](const auto& t) {
            return t.url == QLatin1String("http://b.test/");
        });
        QVERIFY(b.loading);
        auto pending = link.send(b.connection, {{QStringLiteral("cmd"), QStringLiteral("read")}});
        const QJsonObject command = readFrame(*second);
        QCOMPARE(command.value(QLatin1String("cmd")).toString(), QStringLiteral("read"));
        QCOMPARE(first->bytesAvailable(), 0);
        feed(*second, frame({{QStringLiteral("type"), QStringLiteral("reply")},
                             {QStringLiteral("id"), command.value(QLatin1String("id"))},
                             {QStringLiteral("ok"), true},
                             {QStringLiteral("result"), QJsonObject{{QStringLiteral("x"), 1}}}}));
        const ExtensionLink::Answer answer = pending->wait(5s);
        QVERIFY(answer.ok);
        QCOMPARE(answer.result.value(QLatin1String("x")).toInt(), 1);

        // A browser that goes away takes its tabs along and fails what it was asked.
        auto unanswered =
            link.send(b.connection, {{QStringLiteral("cmd"), QStringLiteral("read")}});
        second->kill();
        second->waitForFinished(5000);
        QVERIFY(QTest::qWaitFor([&] { return link.tabs().size() == 1; }, 5000));
        QVERIFY(!unanswered->wait(5s).ok);
        first->closeWriteChannel();
        QVERIFY(ends(*first));
    }

    // Tab reports as a hostile page or a broken extension might send them.
    void malformedReportsAreNotTaken() {
        ExtensionLink link(runtime_.socketPath());
        auto host = startHost();
        QJsonArray tabs{tab(1, QStringLiteral("http://ok.test/")),
                        QJsonObject{{QStringLiteral("id"), QStringLiteral("2")}},
                        QJsonObject{{QStringLiteral("id"), 3}, {QStringLiteral("url"), 5}},
                        tab(4, QString(70000, u'a')), QStringLiteral("not a tab")};
        for (int i = 0; i < 1100; ++i)
            tabs.append(tab(100 + i, QStringLiteral("http://many.test/")));
        feed(*host, frame(hello(tabs)));
        QVERIFY(QTest::qWaitFor([&] { return !link.connections().isEmpty(); }, 5000));
        const QList<ExtensionLink::Tab> listed = link.tabs();
        QCOMPARE(listed.size(), 1000);
        QCOMPARE(listed[0].url, QStringLiteral("http://ok.test/"));
        QCOMPARE(listed[1].tabId, 4);
        QCOMPARE(listed[1].url, QString());  // an address too long to be a site matches none

        // A message past the bound ends the connection.
        const std::uint32_t huge = 33u * 1024 * 1024;
        feed(*host, QByteArray(reinterpret_cast<const char*>(&huge), 4));
        QVERIFY(QTest::qWaitFor([&] { return link.connections().isEmpty(); }, 5000));
        QVERIFY(ends(*host));
    }

    // A write too large for one message goes out in parts under 1 MiB, each only once the one
    // before it went through, and stops at the first part that fails.
    void largeWritesGoInPartsInOrder() {
        auto link = std::make_shared<ExtensionLink>(runtime_.socketPath());
        const int fd = connectRaw(runtime_.socketPath());
        QVERIFY(fd >= 0);
        const QByteArray greeting = frame(hello({tab(1, QStringLiteral("http://a.test/"))}));
        QCOMPARE(::write(fd, greeting.constData(), greeting.size()), greeting.size());
        ExtensionBrowser browser(link);
        QVERIFY(QTest::qWaitFor([&] { return browser.windows().size() == 1; }, 5000));

        QList<FieldEdit> edits;
        for (int i = 0; i < 60; ++i) {
            FieldEdit e;
            e.elementIndex = i;
            e.value = QString(30000, u'x');
            edits.append(e);
        }
        // The extension: answers each part, failing the second when told to.
        struct Seen {
            QList<qsizetype> sizes;
            QList<int> firstElements;
            qsizetype edits = 0;
            bool overlapped = false;
        };
        auto extension = [fd](Seen& seen, bool failSecond) {
            for (;;) {
                std::uint32_t length = 0;
                if (::recv(fd, &length, 4, MSG_WAITALL) != 4)
                    return;
                QByteArray text(static_cast<qsizetype>(length), Qt::Uninitialized);
                if (::recv(fd, text.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length))
                    return;
                pollfd more{fd, POLLIN, 0};
                seen.overlapped = seen.overlapped || ::poll(&more, 1, 50) > 0;
                const QJsonObject command = QJsonDocument::fromJson(text).object();
                const QJsonArray part = command.value(QLatin1String("edits")).toArray();
                seen.sizes.append(text.size());
                seen.firstElements.append(part.first().toArray().at(1).toInt());
                const bool fail = failSecond && seen.sizes.size() == 2;
                QJsonObject result{{QStringLiteral("hadForms"), true},
                                   {QStringLiteral("applied"), fail ? 1 : int(part.size())}};
                if (fail) {
                    result.insert(QStringLiteral("error"), 438);
                    result.insert(QStringLiteral("reason"), QStringLiteral("refused"));
                }
                const QByteArray reply =
                    frame({{QStringLiteral("type"), QStringLiteral("reply")},
                           {QStringLiteral("id"), command.value(QLatin1String("id"))},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("result"), result}});
                if (::write(fd, reply.constData(), reply.size()) != reply.size())
                    return;
                seen.edits += part.size();
                if (fail || seen.edits >= 60)
                    return;
            }
        };
        const auto window = browser.windows().first();
        {
            Seen seen;
            std::thread peer(extension, std::ref(seen), false);
            const WriteResult result =
                window->startWrite(edits, QStringLiteral("http://a.test/"))->take();
            peer.join();
            QCOMPARE(result.applied, 60);
            QVERIFY(!result.failure);
            QVERIFY2(seen.sizes.size() >= 3, qPrintable(QString::number(seen.sizes.size())));
            for (qsizetype size : seen.sizes)
                QVERIFY(size < 1024 * 1024);
            QCOMPARE(seen.firstElements.first(), 0);
            QVERIFY(std::is_sorted(seen.firstElements.begin(), seen.firstElements.end()));
            QVERIFY(!seen.overlapped);
        }
        {
            Seen seen;
            std::thread peer(extension, std::ref(seen), true);
            const WriteResult result =
                window->startWrite(edits, QStringLiteral("http://a.test/"))->take();
            peer.join();
            QCOMPARE(seen.sizes.size(), 2);  // nothing after the part that failed
            QCOMPARE(result.failure->number(), err::kNoSuchMember);
            QCOMPARE(result.applied, seen.firstElements[1] + 1);
        }
        ::close(fd);
    }

    void noTrayTellsTheExtension() {
        auto host = startHost();  // no link listens
        const QJsonObject message = readFrame(*host);
        QCOMPARE(message.value(QLatin1String("type")).toString(), QStringLiteral("noTray"));
        QVERIFY(ends(*host));
        QCOMPARE(host->exitCode(), 0);
    }

    void oneTrayServesTheSocket() {
        {
            ExtensionLink link(runtime_.socketPath());
            try {
                ExtensionLink second(runtime_.socketPath());
                QFAIL("a second link took the socket");
            } catch (const SiranoError& e) {
                QVERIFY2(e.message().contains(QLatin1String("another SIRANO")),
                         qPrintable(e.message()));
            }
            QVERIFY(connectRaw(runtime_.socketPath()) >= 0);  // the first one still serves
        }
        QVERIFY(!QFile::exists(runtime_.socketPath()));  // removed with its link

        // A socket left behind by a tray that was killed is taken over.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, runtime_.socketPath().toLocal8Bit().constData());
        QCOMPARE(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
        ExtensionLink link(runtime_.socketPath());
        QVERIFY(connectRaw(runtime_.socketPath()) >= 0);
    }

    void folderOthersCanEnterIsRefused() {
        QTemporaryDir open;
        QFile::setPermissions(open.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ExeOther | QFile::ExeGroup);
        try {
            ExtensionLink link(open.path() + QStringLiteral("/browsers.sock"));
            QFAIL("served from a folder other users can enter");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kPathFileAccess);
        }
    }

    // Another user who reaches the socket (here through a folder opened after the start) is
    // refused by its credentials.
    void anotherUserIsRefused() {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        ExtensionLink link(runtime_.socketPath());
        const QString folder = QFileInfo(runtime_.socketPath()).path();
        ::chmod(QFile::encodeName(runtime_.path()).constData(), 0755);
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        ::chmod(QFile::encodeName(runtime_.socketPath()).constData(), 0666);
        const QByteArray message = frame(hello({tab(1, QStringLiteral("http://evil.test/"))}));
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(2);
            const int fd = connectRaw(runtime_.socketPath());
            if (fd < 0)
                ::_exit(3);
            [[maybe_unused]] const ssize_t n = ::write(fd, message.constData(), message.size());
            char byte;
            ::_exit(::read(fd, &byte, 1) <= 0 ? 0 : 4);  // closed on it
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
        ::chmod(QFile::encodeName(runtime_.path()).constData(), 0700);
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(link.peersRefused(), 1u);
        QVERIFY(link.tabs().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestExtensionLink)
#include "tst_extension_link.moc"
