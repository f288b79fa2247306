// sirano: the tray program.
#include "CommandLine.h"
#include "QtTrayIcon.h"
#include "TrayApp.h"
#include "app/AppState.h"
#include "store/ProcessSetup.h"

#include <QApplication>
#include <QFont>

int main(int argc, char* argv[]) {
    if (const auto status = sirano::answerCommandLine(argc, argv))
        return *status;
    sirano::ignoreFileSizeLimitSignal();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sirano"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(sirano::trayIconImage(sirano::TrayLook::LoggedIn));

    // The windows ask for the Japanese gothic they were laid out with; IPA P Gothic has its
    // metrics.
    const QString family = QStringLiteral("ＭＳ Ｐゴシック");
    QFont::insertSubstitutions(family,
                               {QStringLiteral("IPAPGothic"), QStringLiteral("VL PGothic")});
    QFont font(family);
    font.setPointSizeF(9.75);
    QApplication::setFont(font);

    sirano::AppState state;
    sirano::SystemServices system;
    sirano::TrayApp tray(state, QCoreApplication::applicationDirPath(), system.services(),
                         sirano::dataFileArgument(argc, argv));
    tray.start();
    return QApplication::exec();
}
