// The Qt side of the tray program as real widgets: both menus as laid out, site items on QMenu
// ("-" a separator that shows, "&" shown as it is, control characters as spaces, long titles
// shortened), the chosen item's signal, the tray's mouse messages and its two icons.
#include "shell/QtMenus.h"
#include "shell/QtTrayIcon.h"
#include "shell/TrayController.h"

#include <QScreen>
#include <QSignalSpy>
#include <QTextDocumentFragment>
#include <QtTest>

using namespace sirano;

namespace {

QStringList shown(const QMenu* menu) {
    QStringList out;
    for (const QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

// The site menu makes its items as it opens.
QMenu* opened(QMenu* menu) {
    menu->popup(QPoint(0, 0));
    menu->hide();
    return menu;
}

class NoTray final : public TrayIcon {
public:
    void add(TrayLook) override {}
    void modifyIcon(TrayLook) override {}
    void remove() override {}
};

class NoUi final : public ShellUi {
public:
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

// The tray controller on the real menus, with nothing else real around it.
struct RealMenus {
    AppState state;
    NoTray tray;
    QtMenus menus;
    NoUi ui;
    NoBoxes boxes;
    SystemClock clock;
    NoKeyRing keyRing;
    TrayController window{state, tray, menus, ui, boxes, clock, keyRing};
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
        QCOMPARE(names, (QStringList{"captureAction", "siteSettingsAction", "MnuBlank1",
                                     "logInOutAction", "passwordSettingsAction", "MnuBlank",
                                     "versionAction", "quitAction"}));
        QCOMPARE(menus.siteMenu()->title(), QStringLiteral("メニュー"));
        QCOMPARE(shown(opened(menus.siteMenu())), QStringList{"SIRANO"});
    }

    void commandsReachTheirItems() {
        QtMenus menus;
        QSignalSpy chosen(&menus, &QtMenus::commandChosen);
        const QList<QAction*> actions = menus.commandMenu()->actions();
        const std::pair<CommandItem, int> items[] = {
            {CommandItem::Capture, 0},  {CommandItem::SiteSettings, 1},
            {CommandItem::LogInOut, 3}, {CommandItem::PasswordSettings, 4},
            {CommandItem::Version, 6},  {CommandItem::Quit, 7}};
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
        RealMenus f;
        AppState& state = f.state;
        QtMenus& menus = f.menus;
        TrayController& window = f.window;
        QSignalSpy chosen(&menus, &QtMenus::siteChosen);

        window.rebuildSiteMenu();
        QCOMPARE(shown(opened(menus.siteMenu())), QStringList{"-"});

        for (const char* t : {"A&B", "-", "", "&&", "E"})
            state.siteTable.append(titled(QString::fromUtf8(t)));
        window.rebuildSiteMenu();
        QCOMPARE(shown(menus.siteMenu()), QStringList{"A&&B"});  // the others as it opens
        QCOMPARE(shown(opened(menus.siteMenu())), (QStringList{"A&&B", "-", "", "&&&&", "E"}));
        QCOMPARE(menus.siteMenu()->actions().at(0)->iconText(), QStringLiteral("A&B"));
        menus.siteMenu()->actions().at(4)->trigger();
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 4);

        state.siteTable.setSiteCount(2);
        window.rebuildSiteMenu();
        QCOMPARE(shown(opened(menus.siteMenu())), (QStringList{"A&&B", "-"}));
        menus.siteMenu()->actions().at(0)->trigger();
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 0);

        state.siteTable.setSiteCount(4);
        window.rebuildSiteMenu();
        QCOMPARE(shown(opened(menus.siteMenu())), (QStringList{"A&&B", "-", "", "&&&&"}));
        menus.siteMenu()->actions().at(3)->trigger();  // a re-created item reports its own index
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 3);

        // Items made while the menu is open show at once, in their places.
        state.siteTable.at(0).title = QStringLiteral("First");
        state.siteTable.append(titled(QStringLiteral("Fifth")));
        menus.popupSiteMenu();
        window.rebuildSiteMenu();
        QCOMPARE(shown(menus.siteMenu()), (QStringList{"First", "-", "", "&&&&", "Fifth"}));
        menus.siteMenu()->hide();
    }

    // A closed site menu lets its items and its window go once the choice it closed for has run,
    // and makes them again as it next opens.
    void closedSiteMenuLetsGo() {
        RealMenus f;
        for (const char* t : {"One", "Two", "Three"})
            f.state.siteTable.append(titled(QString::fromUtf8(t)));
        f.window.rebuildSiteMenu();
        QSignalSpy chosen(&f.menus, &QtMenus::siteChosen);
        QMenu* menu = f.menus.siteMenu();
        for (int round = 0; round < 2; ++round) {
            f.menus.popupSiteMenu();
            QVERIFY(menu->isVisible());
            QCOMPARE(shown(menu), (QStringList{"One", "Two", "Three"}));
            QVERIFY(menu->windowHandle());
            // Chosen by keys, as a user would: the menu closes, then reports the item.
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
            QVERIFY(!menu->isVisible());
            QCOMPARE(chosen.size(), 1);
            QCOMPARE(chosen.takeFirst().at(0).toInt(), 1);
            QTRY_VERIFY(menu->actions().isEmpty());
            QVERIFY(!menu->windowHandle());
        }
    }

    // A tab would start the shortcut column and a line end a second line: every control
    // character shows as a space.
    void controlCharactersShowAsSpaces_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("caption");
        QTest::newRow("tab") << "User\tLog in"
                             << "User Log in";
        QTest::newRow("line ends") << "a\r\nb"
                                   << "a  b";
        QTest::newRow("other C0 and DEL") << QStringLiteral("x\u0001y\u007F") << "x y ";
        QTest::newRow("C1") << QStringLiteral("\u0085\u009Cz") << "  z";
        QTest::newRow("line separator") << QStringLiteral("p\u2028q") << "p q";
        QTest::newRow("with an ampersand") << "A&\tB"
                                           << "A&& B";
        QTest::newRow("not a separator") << "-\t"
                                         << "- ";
    }
    void controlCharactersShowAsSpaces() {
        QFETCH(QString, title);
        QtMenus menus;
        menus.setSiteCaption(0, title);
        const QAction* item = opened(menus.siteMenu())->actions().at(0);
        QVERIFY(!item->isSeparator());
        QTEST(item->text(), "caption");
    }

    // One very long title keeps the menu narrow, so that every site stays on the screen in one
    // column; its caption keeps the start and the end, and the item's tooltip has it whole (as
    // text, not markup). Captions are fitted as the menu opens.
    void longTitleIsShortened() {
        RealMenus f;
        AppState& state = f.state;
        QtMenus& menus = f.menus;
        TrayController& window = f.window;
        const QString longTitle =
            QStringLiteral("A&B <i>start</i> ") + QString(300, u'長') + QStringLiteral("\tthe end");
        for (int i = 0; i < 20; ++i)
            state.siteTable.append(titled(i == 10 ? longTitle : QStringLiteral("Site %1").arg(i)));
        window.rebuildSiteMenu();

        QMenu* menu = menus.siteMenu();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        menu->popup(screen.topLeft());
        QAction* item = menu->actions().at(10);
        QVERIFY2(item->text().startsWith(QStringLiteral("A&&B <i>start</i> 長")),
                 qPrintable(item->text()));
        QVERIFY2(item->text().endsWith(QStringLiteral("長 the end")), qPrintable(item->text()));
        QVERIFY(item->text().contains(u'…'));
        QVERIFY2(item->text().size() < 100, qPrintable(item->text()));
        QVERIFY(menu->toolTipsVisible());
        QString whole = longTitle;
        whole.replace(u'\t', u' ');
        QCOMPARE(QTextDocumentFragment::fromHtml(item->toolTip()).toPlainText(), whole);

        QVERIFY2(menu->sizeHint().width() <= screen.width() * 2 / 3,
                 qPrintable(QString::number(menu->sizeHint().width())));
        QVERIFY(screen.contains(menu->geometry()));
        for (QAction* a : menu->actions())
            QCOMPARE(menu->actionGeometry(a).left(), menu->actionGeometry(item).left());
        QCOMPARE(menu->actions().at(9)->text(), QStringLiteral("Site 9"));

        // Changed while open: fitted at once.
        menus.setSiteCaption(9, longTitle);
        QVERIFY(menu->actions().at(9)->text().contains(u'…'));
        QCOMPARE(QTextDocumentFragment::fromHtml(menu->actions().at(9)->toolTip()).toPlainText(),
                 whole);
        menu->hide();

        // Changed while closed: the caption last given is the one fitted, and a title that fits
        // again loses the tooltip of the shortened one (an action's tooltip is its text by
        // default).
        menus.setSiteCaption(9, QStringLiteral("Short"));
        menus.setSiteCaption(10, longTitle);
        menus.setSiteCaption(10, QStringLiteral("-"));
        menu->popup(screen.topLeft());
        QCOMPARE(menu->actions().at(9)->text(), QStringLiteral("Short"));
        QCOMPARE(menu->actions().at(9)->toolTip(), QStringLiteral("Short"));
        QVERIFY(menu->actions().at(10)->isSeparator());
        QVERIFY(menu->actions().at(10)->text().isEmpty());
        menu->hide();
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

    // The exported label of a title, as Qt passes it to a status notifier host, which reads "_"
    // as an access key mark ("__" is one "_") and gets Qt's "&&" as "_&".
    void exportedLabels_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("label");
        QTest::newRow("plain") << "Bank"
                               << "Bank";
        QTest::newRow("underscores") << "my_bank__site"
                                     << "my__bank____site";
        QTest::newRow("ampersand") << "C & D"
                                   << "C && D";
        QTest::newRow("two ampersands") << "A & B & C"
                                        << "A && B & C";
        QTest::newRow("ampersand at the end") << "Q&"
                                              << "Q&";
        QTest::newRow("both") << "a_b&c"
                              << "a__b&&c";
        QTest::newRow("tab") << "x	y"
                             << "x y";
        QTest::newRow("long") << QString(40, u'a') + QString(40, u'b')
                              << QString(29, u'a') + QStringLiteral("…") + QString(30, u'b');
        QTest::newRow("long, a pair at the cut")
            << QString(28, u'a') + QStringLiteral("😀").repeated(30) + QString(29, u'b')
            << QString(28, u'a') + QStringLiteral("…") + QString(29, u'b');
    }
    void exportedLabels() {
        QFETCH(QString, title);
        QTEST(exportedLabel(title), "label");
    }

    // Where the host draws the command menu, "ｻｲﾄ" at its top holds every site item, follows
    // the rebuilds, reports the chosen index and can be chosen only while logged in.
    void sitesInTheCommandMenu() {
        RealMenus f;
        f.menus.addSitesToCommandMenu();
        QMenu* command = f.menus.commandMenu();
        QCOMPARE(shown(command), (QStringList{"ｻｲﾄ", "-", "記憶", "設定", "-", "ﾛｸﾞｲﾝ", "ﾊﾟｽﾜｰﾄﾞ",
                                              "-", "ﾊﾞｰｼﾞｮﾝ", "終了"}));
        QMenu* sites = f.menus.sitesSubmenu();
        QCOMPARE(command->actions().at(0)->menu(), sites);
        QCOMPARE(shown(sites), QStringList{"SIRANO"});

        for (const char* t : {"a_b", "-", "C & D", "E"})
            f.state.siteTable.append(titled(QString::fromUtf8(t)));
        f.window.rebuildSiteMenu();
        QCOMPARE(shown(sites), (QStringList{"a__b", "-", "C && D", "E"}));
        QSignalSpy chosen(&f.menus, &QtMenus::siteChosen);
        f.window.login();
        sites->actions().at(3)->trigger();
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 3);

        f.state.siteTable.setSiteCount(1);
        f.window.rebuildSiteMenu();
        QCOMPARE(shown(sites), QStringList{"a__b"});
        f.state.siteTable.append(titled(QStringLiteral("New")));
        f.window.rebuildSiteMenu();
        QCOMPARE(shown(sites), (QStringList{"a__b", "New"}));

        f.window.logout();
        QVERIFY(!command->actions().at(0)->isEnabled());
        sites->actions().at(1)->trigger();
        QCOMPARE(chosen.size(), 0);
        f.window.login();
        QVERIFY(command->actions().at(0)->isEnabled());
    }

    // The site menu as a window (Wayland): the sites in a list, separators that cannot be
    // chosen, keys as in a menu; it closes on a choice, Escape, the focus leaving, a log-out.
    void siteWindow() {
        AppState state;
        NoTray tray;
        QtMenus menus(SiteMenuKind::Window);
        NoUi ui;
        NoBoxes boxes;
        SystemClock clock;
        NoKeyRing keyRing;
        TrayController window{state, tray, menus, ui, boxes, clock, keyRing};
        for (const char* t : {"First", "-", "C & D", "a_b"})
            state.siteTable.append(titled(QString::fromUtf8(t)));
        window.rebuildSiteMenu();
        window.login();
        QSignalSpy chosen(&menus, &QtMenus::siteChosen);
        SiteWindow* site = menus.siteWindow();
        QVERIFY(site);
        QVERIFY(!menus.siteMenu()->isVisible());

        const auto rows = [&] {
            QStringList out;
            for (int r = 0; r < site->list().count(); ++r)
                out << site->list().item(r)->text();
            return out;
        };
        menus.popupSiteMenu();
        QVERIFY(site->isVisible());
        QVERIFY(!menus.siteMenu()->isVisible());
        QCOMPARE(rows(), (QStringList{"First", "", "C & D", "a_b"}));
        QCOMPARE(site->list().item(1)->flags(), Qt::NoItemFlags);
        QCOMPARE(site->minimumSize(), site->maximumSize());
        QVERIFY(site->width() < QGuiApplication::primaryScreen()->availableSize().width() / 2);
        QCOMPARE(site->list().currentRow(), 0);

        // Down passes the separator; Enter chooses and closes.
        QTest::keyClick(site->windowHandle(), Qt::Key_Down);
        QCOMPARE(site->list().currentRow(), 2);
        QTest::keyClick(site->windowHandle(), Qt::Key_Return);
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 2);
        QVERIFY(!site->isVisible());

        // A click on an item chooses it.
        menus.popupSiteMenu();
        QVERIFY(QTest::qWaitForWindowExposed(site));
        const QRect last = site->list().visualItemRect(site->list().item(3));
        QTest::mouseClick(site->list().viewport(), Qt::LeftButton, {}, last.center());
        QCOMPARE(chosen.takeFirst().at(0).toInt(), 3);
        QVERIFY(!site->isVisible());

        menus.popupSiteMenu();
        QTest::keyClick(site->windowHandle(), Qt::Key_Escape);
        QVERIFY(!site->isVisible());

        // A site added while it is open shows at once.
        menus.popupSiteMenu();
        state.siteTable.append(titled(QStringLiteral("Fifth")));
        window.rebuildSiteMenu();
        QCOMPARE(rows().size(), 5);
        window.logout();
        QVERIFY(!site->isVisible());

        // Another window takes the focus.
        window.login();
        menus.popupSiteMenu();
        QVERIFY(QTest::qWaitForWindowActive(site));
        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(QTest::qWaitFor([&] { return !site->isVisible(); }, 2000));
        QCOMPARE(chosen.size(), 0);
    }

    void trayClicks_data() {
        QTest::addColumn<int>("reason");
        QTest::addColumn<int>("click");  // -1: ignored
        QTest::newRow("left") << int(QSystemTrayIcon::Trigger) << int(TrayClick::Left);
        QTest::newRow("right") << int(QSystemTrayIcon::Context) << int(TrayClick::Right);
        QTest::newRow("double") << int(QSystemTrayIcon::DoubleClick) << -1;
        QTest::newRow("middle") << int(QSystemTrayIcon::MiddleClick) << -1;
        QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << -1;
    }
    void trayClicks() {
        QFETCH(int, reason);
        QFETCH(int, click);
        const auto got = trayClickFor(QSystemTrayIcon::ActivationReason(reason));
        QCOMPARE(got ? int(*got) : -1, click);
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
