// Saves a picture of each settings dialog, as a user sees it, into the folder given (default:
// the current one). Run under X, for example:
//   xvfb-run -a -s "-screen 0 1024x768x24" build/tests/editor/sirano_dialog_screenshots
//   docs/screenshots
#include "editor/SiteSettingsDialog.h"
#include "login/PasswordSettingsDialog.h"
#include "support/DialogTestKit.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTextStream>

using namespace sirano;

namespace {

void settle() {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool save(QWidget& dialog, const QString& path) {
    settle();
    const bool ok = dialog.grab().save(path);
    QTextStream(stdout) << (ok ? "wrote " : "could not write ") << path << " (" << dialog.width()
                        << 'x' << dialog.height() << ", font " << QFontInfo(dialog.font()).family()
                        << ")\n";
    return ok;
}

SiteEntry sample(const QString& title, const QString& url, const QString& keyword) {
    SiteEntry e;
    e.title = title;
    e.url = url;
    e.urlKeyword = keyword;
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        QTextStream(stderr) << "needs an X display (run under xvfb-run)\n";
        return 1;
    }
    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));

    AppState state;
    state.settings = {QStringLiteral("secret"), 1, 5};
    SiteEntry bank = sample(QStringLiteral("ｲﾝﾀｰﾈｯﾄﾊﾞﾝｷﾝｸﾞ - ログイン"),
                            QStringLiteral("https://bank.example/login"), QStringLiteral("login"));
    bank.setField(
        0, {0, 0, QStringLiteral("text"), QStringLiteral("userid"), QStringLiteral("yamada")});
    bank.setField(
        1, {0, 1, QStringLiteral("password"), QStringLiteral("passwd"), QStringLiteral("hunter2")});
    bank.setField(
        2, {0, 3, QStringLiteral("checkbox"), QStringLiteral("remember"), QStringLiteral("True")});
    state.siteTable.append(std::move(bank));
    state.siteTable.append(
        sample(QStringLiteral("Webメール"), QStringLiteral("https://mail.example/"), {}));
    test::RecordingActions actions;
    WidgetMessageBox messages;
    NoKeyRing noKeyRing;

    bool ok = true;
    {
        PasswordSettingsDialog passwordDialog(state, actions, messages, noKeyRing);
        passwordDialog.show();
        passwordDialog.findChild<QLineEdit*>(QStringLiteral("currentPasswordBox"))
            ->setText(QStringLiteral("secret"));
        passwordDialog.findChild<QLineEdit*>(QStringLiteral("newPasswordBox"))
            ->setText(QStringLiteral("newpass"));
        ok &= save(passwordDialog, folder.filePath(QStringLiteral("password-settings.png")));
    }
    {
        SiteEditorState editor;
        SiteSettingsDialog siteDialog(state, editor, actions, messages);
        siteDialog.show();
        siteDialog.findChild<QListWidget*>(QStringLiteral("fieldList"))->setCurrentRow(1);
        ok &= save(siteDialog, folder.filePath(QStringLiteral("site-settings.png")));
    }
    return ok ? 0 : 1;
}
