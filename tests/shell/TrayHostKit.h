// What the tests of the tray program on status notifier hosts share: a private session bus, a
// watcher and host played by the test itself, and a client of the program's item and of its
// exported menu (com.canonical.dbusmenu), as a panel would use them.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QVariantMap>
#include <QtTest>
#include <optional>

namespace sirano::test {

// A dbus-daemon of the test's own, stopped with it.
class PrivateBus {
public:
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(kName);
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.kill();
            daemon_.waitForFinished(3000);
        }
    }
    bool start(QString* why) {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(5000) ||
            !QTest::qWaitFor([&] { return daemon_.canReadLine() || daemon_.waitForReadyRead(100); },
                             10000)) {
            *why = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        address_ = QString::fromLatin1(daemon_.readLine().trimmed());
        if (!connection().isConnected()) {
            *why = QStringLiteral("cannot connect to the private bus ") + address_;
            return false;
        }
        return true;
    }
    QString address() const { return address_; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(address_, kName); }

private:
    static inline const QString kName = QStringLiteral("tray-host-test");
    QProcess daemon_;
    QString address_;
};

// The status notifier watcher with a host registered, as a panel offers it.
class WatcherAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit WatcherAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    bool hostRegistered() const { return true; }
    QStringList items() const { return items_; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) {
        if (!items_.contains(service))
            items_ << service;
        Q_EMIT StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList items_;
};

class Watcher {
public:
    bool start(QDBusConnection bus) {
        bus_ = bus;
        return bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &object_,
                                  QDBusConnection::ExportAdaptors) &&
               bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    QStringList items() const { return adaptor_->items(); }

private:
    QDBusConnection bus_{QString()};
    QObject object_;
    WatcherAdaptor* adaptor_ = new WatcherAdaptor(&object_);
};

// One item of the exported menu: its id, properties and children.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;

    QString label() const {
        return properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")
                   ? QStringLiteral("-")
                   : properties.value(QStringLiteral("label")).toString();
    }
    bool enabled() const { return properties.value(QStringLiteral("enabled"), true).toBool(); }
    QStringList labels() const {
        QStringList out;
        for (const MenuNode& c : children)
            out << c.label();
        return out;
    }
    // A copy: a layout is often a temporary.
    std::optional<MenuNode> find(const QString& wanted) const {
        for (const MenuNode& c : children) {
            if (c.label() == wanted)
                return c;
            if (std::optional<MenuNode> inner = c.find(wanted))
                return inner;
        }
        return std::nullopt;
    }
};

inline void readMenuNode(const QDBusArgument& arg, MenuNode& node) {
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        MenuNode c;
        readMenuNode(child.variant().value<QDBusArgument>(), c);
        node.children << c;
    }
    arg.endArray();
    arg.endStructure();
}

// The program's item as a host uses it.
class ItemClient : public QObject {
    Q_OBJECT
public:
    ItemClient(QDBusConnection bus, QString service) : bus_(bus), service_(std::move(service)) {
        bus_.connect(service_, kItemPath, kItemInterface, QStringLiteral("NewIcon"), this,
                     SLOT(onNewIcon()));
    }
    int newIcons() const { return newIcons_; }

    QString menuPath() const {
        QDBusMessage get =
            QDBusMessage::createMethodCall(service_, kItemPath, kProperties, QStringLiteral("Get"));
        get << kItemInterface << QStringLiteral("Menu");
        const QDBusMessage answer = bus_.call(get, QDBus::Block, 5000);
        if (answer.arguments().isEmpty())
            return {};
        return answer.arguments()
            .first()
            .value<QDBusVariant>()
            .variant()
            .value<QDBusObjectPath>()
            .path();
    }
    MenuNode layout() const {
        QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath(), kMenuInterface,
                                                           QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        const QDBusMessage answer = bus_.call(call, QDBus::Block, 5000);
        MenuNode root;
        if (answer.type() == QDBusMessage::ReplyMessage && answer.arguments().size() == 2)
            readMenuNode(answer.arguments().at(1).value<QDBusArgument>(), root);
        return root;
    }
    // Not awaited: a click that opens a modal box answers only when the box closes.
    void click(int id) const {
        QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath(), kMenuInterface,
                                                           QStringLiteral("Event"));
        call << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
             << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        bus_.asyncCall(call);
    }
    void activate() const {
        QDBusMessage call = QDBusMessage::createMethodCall(service_, kItemPath, kItemInterface,
                                                           QStringLiteral("Activate"));
        call << 10 << 10;
        bus_.asyncCall(call);
    }

private Q_SLOTS:
    void onNewIcon() { ++newIcons_; }

private:
    static inline const QString kItemPath = QStringLiteral("/StatusNotifierItem");
    static inline const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
    static inline const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
    static inline const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
    QDBusConnection bus_;
    QString service_;
    int newIcons_ = 0;
};

}  // namespace sirano::test
