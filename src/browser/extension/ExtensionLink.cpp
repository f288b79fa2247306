#include "ExtensionLink.h"

#include "NativeMessaging.h"
#include "store/Error.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace sirano {

namespace nm = nativemessaging;

namespace {

// A browser's extension reports at most this many tabs; more are not tracked.
constexpr qsizetype kMaxTabsPerBrowser = 1000;
// An address longer than this is kept as none: it matches no site.
constexpr qsizetype kMaxAddress = 64 * 1024;
// Window ids of this kind start high, so that they never meet those of SIRANO's own Chromium
// in the fill markers when the tray changes from one kind of browser to the other.
constexpr int32_t kFirstWindowId = 1 << 30;

SiranoError socketError(const QString& what, int error) {
    return SiranoError(
        err::kPathFileAccess,
        QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error))));
}

class PendingAnswer final : public ExtensionLink::Pending {
public:
    ExtensionLink::Answer wait(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return answer_.has_value(); }))
            answer_ = ExtensionLink::Answer{
                false, {}, QStringLiteral("The browser did not answer in time.")};
        return *answer_;
    }
    bool answered() {
        std::lock_guard lock(mutex_);
        return answer_.has_value();
    }
    void give(ExtensionLink::Answer answer) {
        {
            std::lock_guard lock(mutex_);
            if (answer_)
                return;
            answer_ = std::move(answer);
        }
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<ExtensionLink::Answer> answer_;
};

// A tab as the extension describes it: {id, url, loading, loads}; nullopt when malformed.
std::optional<ExtensionLink::Tab> tabFrom(const QJsonValue& value) {
    const QJsonObject o = value.toObject();
    const QJsonValue id = o.value(QLatin1String("id"));
    const QJsonValue url = o.value(QLatin1String("url"));
    const QJsonValue loading = o.value(QLatin1String("loading"));
    const QJsonValue loads = o.value(QLatin1String("loads"));
    if (!id.isDouble() || !url.isString() || !loading.isBool() || !loads.isDouble() ||
        loads.toDouble() < 0 || id.toDouble() != static_cast<double>(id.toInteger()))
        return std::nullopt;
    ExtensionLink::Tab tab;
    tab.tabId = id.toInteger();
    tab.url = url.toString().size() <= kMaxAddress ? url.toString() : QString();
    tab.loading = loading.toBool();
    tab.loads = static_cast<quint64>(loads.toDouble());
    return tab;
}

}  // namespace

struct ExtensionLink::Worker {
    struct Connection {
        int fd = -1;
        QByteArray in;
        QByteArray out;  // guarded by mutex
        bool hello = false;
        QList<Tab> tabs;  // first seen first
    };

    explicit Worker(const QString& socketPath);
    ~Worker();

    void run(const std::stop_token& stop);
    void accept();
    // false: the connection is to be closed
    bool readFrom(int id, Connection& c);
    void writeTo(Connection& c);
    void close(int id);
    void handle(int id, Connection& c, const QJsonObject& message);
    void updateTab(Connection& c, int id, Tab tab);
    void wake();

    QByteArray path;
    ino_t socketInode = 0;
    int listenFd = -1;
    int wakeFd = -1;

    mutable std::mutex mutex;
    std::map<int, Connection> connections;
    std::map<qint64, std::pair<int, std::shared_ptr<PendingAnswer>>> pending;
    int nextConnection = 1;
    int32_t nextWindowId = kFirstWindowId;
    qint64 nextRequest = 1;
    quint64 sent = 0;
    quint64 refused = 0;

    std::jthread thread;  // last: stopped and joined before the rest goes
};

ExtensionLink::Worker::Worker(const QString& socketPath) : path(socketPath.toLocal8Bit()) {
    const QByteArray folder = path.left(path.lastIndexOf('/'));
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        throw socketError(
            QStringLiteral("Cannot make the folder %1").arg(QString::fromLocal8Bit(folder)), errno);
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0)
        throw socketError(QStringLiteral("Cannot look at %1").arg(QString::fromLocal8Bit(folder)),
                          errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        throw SiranoError(err::kPathFileAccess,
                          QStringLiteral("%1 is not a folder of this user's alone; the browsers' "
                                         "extension is not served.")
                              .arg(QString::fromLocal8Bit(folder)));

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (static_cast<size_t>(path.size()) >= sizeof address.sun_path)
        throw SiranoError(err::kPathFileAccess, QStringLiteral("The socket's path is too long."));
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()) + 1);

    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        throw socketError(QStringLiteral("Cannot make a socket"), errno);
    const auto* sa = reinterpret_cast<const sockaddr*>(&address);
    if (::lstat(path.constData(), &st) == 0) {
        // A socket left by a tray that ended without removing it: nobody answers there.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered = probe >= 0 && ::connect(probe, sa, sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (answered || !S_ISSOCK(st.st_mode)) {
            ::close(listenFd);
            throw SiranoError(err::kPathFileAccess,
                              QStringLiteral("%1 is taken (another SIRANO serves the browsers' "
                                             "extension).")
                                  .arg(socketPath));
        }
        ::unlink(path.constData());
    }
    if (::bind(listenFd, sa, sizeof address) != 0 || ::chmod(path.constData(), 0600) != 0 ||
        ::listen(listenFd, 16) != 0) {
        const int e = errno;
        ::close(listenFd);
        throw socketError(QStringLiteral("Cannot listen at %1").arg(socketPath), e);
    }
    if (::lstat(path.constData(), &st) == 0)
        socketInode = st.st_ino;
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread = std::jthread([this](const std::stop_token& stop) { run(stop); });
}

ExtensionLink::Worker::~Worker() {
    thread.request_stop();
    wake();
    thread.join();
    for (auto& [id, c] : connections)
        ::close(c.fd);
    for (auto& [request, entry] : pending)
        entry.second->give(Answer{false, {}, QStringLiteral("SIRANO ended.")});
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && st.st_ino == socketInode)
        ::unlink(path.constData());
    ::close(listenFd);
    ::close(wakeFd);
}

void ExtensionLink::Worker::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void ExtensionLink::Worker::run(const std::stop_token& stop) {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    while (!stop.stop_requested()) {
        fds.assign({{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}});
        ids.assign({0, 0});
        {
            std::lock_guard lock(mutex);
            for (const auto& [id, c] : connections) {
                fds.push_back(
                    {c.fd, static_cast<short>(POLLIN | (c.out.isEmpty() ? 0 : POLLOUT)), 0});
                ids.push_back(id);
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
        }
        if (fds[0].revents != 0)
            accept();
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            std::unique_lock lock(mutex);
            auto found = connections.find(ids[i]);
            if (found == connections.end())
                continue;
            Connection& c = found->second;
            if ((fds[i].revents & POLLOUT) != 0)
                writeTo(c);
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !readFrom(ids[i], c))
                close(ids[i]);
        }
    }
}

void ExtensionLink::Worker::accept() {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(fd);
            std::lock_guard lock(mutex);
            ++refused;
            continue;
        }
        std::lock_guard lock(mutex);
        connections[nextConnection++].fd = fd;
    }
}

bool ExtensionLink::Worker::readFrom(int id, Connection& c) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(c.fd, chunk, sizeof chunk);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return false;
            break;
        }
        c.in.append(chunk, n);
        while (c.in.size() >= 4) {
            std::uint32_t length;
            std::memcpy(&length, c.in.constData(), 4);
            if (length > nm::kMaxFromBrowser)
                return false;
            if (static_cast<std::uint32_t>(c.in.size() - 4) < length)
                break;
            const QJsonDocument message = QJsonDocument::fromJson(c.in.mid(4, length));
            c.in.remove(0, 4 + static_cast<qsizetype>(length));
            if (!message.isObject())
                return false;
            handle(id, c, message.object());
        }
    }
    return true;
}

void ExtensionLink::Worker::writeTo(Connection& c) {
    while (!c.out.isEmpty()) {
        const ssize_t n =
            ::send(c.fd, c.out.constData(), static_cast<size_t>(c.out.size()), MSG_NOSIGNAL);
        if (n <= 0)
            return;  // full (tried again on POLLOUT) or broken (the read side sees it)
        c.out.remove(0, n);
    }
}

void ExtensionLink::Worker::close(int id) {
    auto found = connections.find(id);
    ::close(found->second.fd);
    connections.erase(found);
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->second.first == id) {
            it->second.second->give(Answer{false, {}, QStringLiteral("The browser went away.")});
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
}

void ExtensionLink::Worker::updateTab(Connection& c, int id, Tab tab) {
    tab.connection = id;
    for (Tab& known : c.tabs) {
        if (known.tabId == tab.tabId) {
            tab.windowId = known.windowId;
            known = std::move(tab);
            return;
        }
    }
    if (c.tabs.size() >= kMaxTabsPerBrowser)
        return;
    tab.windowId = nextWindowId++;
    c.tabs.append(std::move(tab));
}

void ExtensionLink::Worker::handle(int id, Connection& c, const QJsonObject& message) {
    const QString type = message.value(QLatin1String("type")).toString();
    if (type == QLatin1String("hello")) {
        c.hello = true;
        for (const QJsonValue& t : message.value(QLatin1String("tabs")).toArray()) {
            if (auto tab = tabFrom(t))
                updateTab(c, id, std::move(*tab));
        }
    } else if (type == QLatin1String("tab")) {
        if (auto tab = tabFrom(message.value(QLatin1String("tab"))))
            updateTab(c, id, std::move(*tab));
    } else if (type == QLatin1String("closed")) {
        const qint64 tabId = message.value(QLatin1String("id")).toInteger(-1);
        c.tabs.removeIf([&](const Tab& t) { return t.tabId == tabId; });
    } else if (type == QLatin1String("reply")) {
        const auto found = pending.find(message.value(QLatin1String("id")).toInteger(-1));
        if (found == pending.end() || found->second.first != id)
            return;  // late, or not this browser's to answer
        const bool ok = message.value(QLatin1String("ok")).toBool();
        found->second.second->give(
            Answer{ok, message.value(QLatin1String("result")).toObject(),
                   ok ? QString() : message.value(QLatin1String("error")).toString().left(1000)});
        pending.erase(found);
    }
    // "host" (which browser started the relay) and anything else: nothing to do.
}

ExtensionLink::ExtensionLink(const QString& socketPath)
    : worker_(std::make_unique<Worker>(socketPath)) {}

ExtensionLink::~ExtensionLink() = default;

QList<int> ExtensionLink::connections() const {
    std::lock_guard lock(worker_->mutex);
    QList<int> out;
    for (const auto& [id, c] : worker_->connections) {
        if (c.hello)
            out.append(id);
    }
    return out;
}

QList<ExtensionLink::Tab> ExtensionLink::tabs() const {
    std::lock_guard lock(worker_->mutex);
    QList<Tab> out;
    for (const auto& [id, c] : worker_->connections) {
        if (c.hello)
            out.append(c.tabs);
    }
    return out;
}

std::optional<ExtensionLink::Tab> ExtensionLink::tab(int connection, qint64 tabId) const {
    std::lock_guard lock(worker_->mutex);
    const auto found = worker_->connections.find(connection);
    if (found == worker_->connections.end())
        return std::nullopt;
    for (const Tab& t : found->second.tabs) {
        if (t.tabId == tabId)
            return t;
    }
    return std::nullopt;
}

std::shared_ptr<ExtensionLink::Pending> ExtensionLink::send(int connection, QJsonObject command) {
    auto answer = std::make_shared<PendingAnswer>();
    std::lock_guard lock(worker_->mutex);
    const auto found = worker_->connections.find(connection);
    if (found == worker_->connections.end()) {
        answer->give(Answer{false, {}, QStringLiteral("The browser went away.")});
        return answer;
    }
    // Requests whose callers stopped waiting (timed out) need no answer any more.
    std::erase_if(worker_->pending,
                  [](const auto& entry) { return entry.second.second->answered(); });
    const qint64 request = worker_->nextRequest++;
    command.insert(QLatin1String("id"), request);
    const QByteArray text = QJsonDocument(command).toJson(QJsonDocument::Compact);
    if (text.size() >= static_cast<qsizetype>(nm::kMaxToBrowser)) {
        answer->give(Answer{false, {}, QStringLiteral("A message to the browser is too large.")});
        return answer;
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    found->second.out.append(reinterpret_cast<const char*>(&length), 4).append(text);
    worker_->pending.emplace(request, std::make_pair(connection, answer));
    ++worker_->sent;
    worker_->wake();
    return answer;
}

quint64 ExtensionLink::messagesSent() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->sent;
}

quint64 ExtensionLink::peersRefused() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->refused;
}

}  // namespace sirano
