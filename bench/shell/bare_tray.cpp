// The yardstick of the start-up benchmark: the least a Qt tray program does. A QApplication, a
// check for the notification area, a tray icon with a menu; then it writes the moment the icon
// was shown to SIRANO_TRAY_MARK, as the tray program does, and waits.
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "bare_tray: no notification area\n");
        return 1;
    }
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::gray);
    QMenu menu;
    menu.addAction(QStringLiteral("Quit"), &app, &QApplication::quit);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.setToolTip(QStringLiteral("bare"));
    icon.setContextMenu(&menu);
    icon.show();
    const QString markFile = qEnvironmentVariable("SIRANO_TRAY_MARK");
    if (!markFile.isEmpty()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        QFile mark(markFile);
        if (mark.open(QIODevice::WriteOnly | QIODevice::Truncate))
            mark.write(QByteArray::number(static_cast<qlonglong>(ns)));
    }
    return QApplication::exec();
}
