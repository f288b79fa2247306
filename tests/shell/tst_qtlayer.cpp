// The Qt side of the hidden window as real widgets: both menus as laid out, site items on QMenu
// ("-" a separator that shows, "&" shown as it is), the chosen item's signal, the tray's mouse
// messages and its two icons.
#include "shell/MainWindow.h"
#include "shell/QtMenus.h"
#include "shell/QtTrayIcon.h"

#include <QSignalSpy>
#include <QtTest>

using namespace sirano;

namespace {

QStringList shown(const QMenu* menu) {
    QStringList out;
    for (const QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

class NoTray final : public TrayIcon {
public:
    void add(TrayLook) override {}
    void modifyIcon(TrayLook) override {}
    void remove() override {}
};

class NoUi final : public ShellUi {
public:
    void processEvents() override {}
    void showPasswordPrompt() override {}
    void showSiteSettings() override {}
    void showPasswordSettings() override {}
    void quit(int) override {}
};

class NoBoxes final : public MessageBox {
public:
    QMessageBox::StandardButton show(QWidget*, QMessageBox::Icon, const QString&, const QString&,
                                     QMessageBox::StandardButtons) override {
        return QMessageBox::Ok;
    }
};

SiteEntry titled(const QString& title) {
    SiteEntry e;
    e.title = title;
    return e;
}

}  // namespace

class TestQtLayer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void menusAsCreated() {
        QtMenus menus;
        const QMenu* main = menus.commandMenu();
        QCOMPARE(main->title(), QStringLiteral("メニュー"));
        QCOMPARE(shown(main),
                 (QStringList{"記憶", "設定", "-", "ﾛｸﾞｲﾝ", "ﾊﾟｽﾜｰﾄﾞ", "-", "ﾊﾞｰｼﾞｮﾝ", "終了"}));
        QStringList names;
        for (const QAction* a : main->actions()) {
            names << a->objectName();
            QVERIFY(a->isEnabled());
        }
        QCOMPARE(names, (QStringList{"mnuMemory", "mnuOpen", "MnuBlank1", "mnuLogInOut",
                                     "mnuPassword", "MnuBlank", "mnuVersion", "mnuEnd"}));
        QCOMPARE(menus.siteMenu()->title(), QStringLiteral("メニュー"));
        QCOMPARE(shown(menus.siteMenu()), QStringList{"SIRANO"});
    }

    void commandsReachTheirItems() {
        QtMenus menus;
        QSignalSpy chosen(&menus, &QtMenus::commandChosen);
        const QList<QAction*> actions = menus.commandMenu()->actions();
        const std::pair<CommandItem, int> items[] = {
            {CommandItem::Memory, 0},   {CommandItem::Open, 1},    {CommandItem::LogInOut, 3},
            {CommandItem::Password, 4}, {CommandItem::Version, 6}, {CommandItem::End, 7}};
        for (const auto& [item, position] : items) {
            menus.setEnabled(item, false);
            QVERIFY(!actions[position]->isEnabled());
            actions[position]->setEnabled(true);
            actions[position]->trigger();
            QCOMPARE(chosen.takeFirst().at(0).value<CommandItem>(), item);
        }
        menus.setCaption(CommandItem::LogInOut, QStringLiteral("ﾛｸﾞｱｳﾄ"));
        QCOMPARE(actions[3]->text(), QStringLiteral("ﾛｸﾞｱｳﾄ"));
    }

    // The rebuild on real menus: 0, 5 and 2 entries, odd titles included.
    void siteMenuRebuild() {
        AppState state;
        NoTray tray;
        QtMenus menus;
        NoUi ui;
        NoBoxes boxes;
        SystemClock clock;
        MainWindow window(state, tray, menus, ui, boxes, clock);
        QSignalSpy chosen(&menus, &QtMenus::siteChosen);

        window.menuSirano();
        QCOMPARE(shown(menus.siteMenu()), QStringList{"-"});

        for (const char* t : {"A&B", "-", "", "&&", "E"})
            state.siteTable.append(titled(QString::fromUtf8(t)));
        window.menuSirano();
        QCOMPARE(shown(menus.siteMenu()), (QStringList{"A&&B", "-", "", "&&&&", "E"}));
        QCOMPARE(menus.siteMenu()->actions().at(0)->iconText(), QStringLiteral("A&B"));
        menus.siteMenu()->actions().at(4)->trigger();
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 4);

        state.siteTable.setSiteCount(2);
        window.menuSirano();
        QCOMPARE(shown(menus.siteMenu()), (QStringList{"A&&B", "-"}));
        menus.siteMenu()->actions().at(0)->trigger();
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 0);

        state.siteTable.setSiteCount(4);
        window.menuSirano();
        menus.siteMenu()->actions().at(3)->trigger();  // a re-created item reports its own index
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 3);
    }

    // A site menu holding a lone separator still opens visibly.
    void loneSeparatorShows() {
        QtMenus menus;
        menus.setSiteCaption(0, QStringLiteral("-"));
        menus.popupSiteMenu();
        QVERIFY(menus.siteMenu()->isVisible());
        QVERIFY(menus.siteMenu()->actionGeometry(menus.siteMenu()->actions().at(0)).height() > 0);
        menus.siteMenu()->hide();
    }

    void mouseMessages_data() {
        QTest::addColumn<int>("reason");
        QTest::addColumn<int>("message");
        QTest::newRow("left") << int(QSystemTrayIcon::Trigger) << 0x201;
        QTest::newRow("right") << int(QSystemTrayIcon::Context) << 0x204;
        QTest::newRow("double") << int(QSystemTrayIcon::DoubleClick) << 0x203;
        QTest::newRow("middle") << int(QSystemTrayIcon::MiddleClick) << 0x207;
        QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << 0x200;
    }
    void mouseMessages() {
        QFETCH(int, reason);
        QFETCH(int, message);
        QCOMPARE(mouseMessageFor(QSystemTrayIcon::ActivationReason(reason)), message);
    }

    void twoIcons() {
        const QImage in = trayIconImage(TrayLook::LoggedIn).pixmap(32, 32).toImage();
        const QImage out = trayIconImage(TrayLook::LoggedOut).pixmap(32, 32).toImage();
        QCOMPARE(in.size(), QSize(32, 32));
        QCOMPARE(out.size(), QSize(32, 32));
        QVERIFY(in != out);
    }
};

QTEST_MAIN(TestQtLayer)
#include "tst_qtlayer.moc"
