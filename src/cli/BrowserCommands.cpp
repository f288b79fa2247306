// windows, capture and fill: the tray program's browser work from a terminal, with a report of
// what it did instead of the tray's silence.
#include "Commands.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/devtools/BrowserEndpoint.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/ChromiumLauncher.h"
#include "browser/devtools/PortOwnership.h"
#include "store/Reason.h"

#include <QDir>
#include <QFileInfo>

namespace sirano::cli {
namespace {

const QString kBrowserOption = QStringLiteral("browser");

const QString kCommonHelp = QStringLiteral(
    "  --browser PORT  the Chromium whose remote debugging listens on this loopback port;\n"
    "                  without it, the browser SIRANO itself starts (the DevToolsActivePort\n"
    "                  file of the profile \"browser\" beside the data file)\n"
    "  --data FILE     the data file; without it, SIRANO.DAT beside sirano-cli when there is\n"
    "                  one, else ~/.local/share/sirano/SIRANO.DAT\n"
    "  -h, --help      this help\n");

// Saves the data file for the capture; the tray's menu and log-in do not exist here.
class CliActions final : public AppActions {
public:
    CliActions(AppState& state, QString path) : state_(state), path_(std::move(path)) {}
    void saveDataFile() override {
        try {
            sirano::saveDataFile(path_, state_.generator, state_.siteTable, state_.settings,
                                 state_.dataFileKey ? &*state_.dataFileKey : nullptr);
        } catch (const SiranoError& e) {
            saveFailure = e.message();
            throw;
        }
    }
    void rebuildSiteMenu() override {}
    void login() override {}
    void logout() override {}
    void restartLogoutCount() override {}
    QString saveFailure;

private:
    AppState& state_;
    QString path_;
};

struct BrowserCommandLine {
    QCommandLineParser parser;
    QString dataFile;
    std::optional<quint16> port;
};

// Parses the arguments; false when only the help was asked (and printed).
bool parse(BrowserCommandLine& cl, const QString& command, const QStringList& args, int positional,
           const Io& io, const QString& help) {
    addCommonOptions(cl.parser);
    cl.parser.addOption(QCommandLineOption(kBrowserOption,
                                           QStringLiteral("The browser's remote debugging port."),
                                           QStringLiteral("PORT")));
    parseOrThrow(cl.parser, command, args, positional, positional);
    if (wantsHelp(cl.parser)) {
        io.out << help << QStringLiteral("\n\nOptions:\n") << kCommonHelp << u'\n'
               << exitCodesHelp();
        return false;
    }
    if (cl.parser.isSet(kBrowserOption)) {
        const QString text = cl.parser.value(kBrowserOption);
        bool ok = false;
        const uint port = text.toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            throw CliError(exitcode::kUsage,
                           QStringLiteral("--browser: '%1' is not a port number (1 to 65535).\n"
                                          "Try 'sirano-cli %2 --help'.")
                               .arg(text, command));
        cl.port = static_cast<quint16>(port);
    }
    cl.dataFile = dataFilePath(cl.parser);
    return true;
}

QString dataFolderOf(const QString& dataFile) {
    return machineFolderOf(dataFile);
}

std::unique_ptr<Browser> connect(const BrowserCommandLine& cl) {
    // The browser would refuse it silently; say why.
    if (cl.port && loopbackPortOwner(*cl.port) == PortOwner::Other)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("--browser: loopback port %1 belongs to another user; "
                                      "refused to connect.")
                           .arg(*cl.port));
    return createChromiumBrowser(
        QDir(dataFolderOf(cl.dataFile)).filePath(QLatin1String(kBrowserProfileName)), cl.port);
}

// The browser a command works on; CliError (exit 1) naming where it was looked for when none
// answers there.
std::unique_ptr<Browser> connectOrFail(const BrowserCommandLine& cl) {
    std::unique_ptr<Browser> browser = connect(cl);
    if (browser->answers())
        return browser;
    if (cl.port)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("no browser answers on port %1 of 127.0.0.1 (or the "
                                      "listener there is not your own browser).")
                           .arg(*cl.port));
    throw CliError(
        exitcode::kFailure,
        QStringLiteral("no browser answers for the profile %1; start it with 'sirano-cli browser'.")
            .arg(QDir(dataFolderOf(cl.dataFile)).filePath(QLatin1String(kBrowserProfileName))));
}

// Loads the store and asks the master password, as the tray's log-in would. Without a data file
// (allowed for the capture) the store starts empty, as the tray's does.
void logIn(AppState& state, const QString& dataFile, const Io& io, bool mayBeNew = false) {
    if (!mayBeNew || QFileInfo::exists(dataFile)) {
        LoadedStore store = loadStore(dataFile, io);
        requireMasterPassword(store, io);
        state.siteTable = std::move(store.contents.siteTable);
        state.settings = store.contents.settings;
        state.dataFileKey = std::move(store.key);
    }
    state.dataFilePath = dataFile;
    state.dataFolder = dataFolderOf(dataFile);
    state.loggedIn = true;
    state.generator.reseedFromClock();
}

[[noreturn]] void failed(const QString& what, int number, const QString& detail) {
    throw CliError(exitcode::kFailure,
                   QStringLiteral("%1 failed: %2 (error %3).")
                       .arg(what, detail.isEmpty() ? errorDescription(number) : detail)
                       .arg(number));
}

int windowsCommand(const QStringList& args, const Io& io) {
    BrowserCommandLine cl;
    if (!parse(cl, QStringLiteral("windows"), args, 0, io,
               QStringLiteral(
                   "Usage: sirano-cli windows [--browser PORT] [--data FILE]\n\n"
                   "Lists the browser's windows (tabs) in SIRANO's order, one line each: order,\n"
                   "number, \"busy\" or \"idle\", and address, separated by tabs.")))
        return exitcode::kOk;
    const std::unique_ptr<Browser> browser = connectOrFail(cl);
    const QList<std::shared_ptr<BrowserWindow>> windows = browser->windows();
    if (windows.isEmpty())
        io.err << QStringLiteral("sirano-cli: no browser window is open.\n");
    for (qsizetype i = 0; i < windows.size(); ++i) {
        const BrowserWindow& w = *windows[i];
        io.out << i << u'\t' << w.windowId() << u'\t'
               << (w.busy() ? QStringLiteral("busy") : QStringLiteral("idle")) << u'\t'
               << w.locationUrl() << u'\n';
    }
    return exitcode::kOk;
}

int captureCommand(const QStringList& args, const Io& io) {
    BrowserCommandLine cl;
    if (!parse(
            cl, QStringLiteral("capture"), args, 0, io,
            QStringLiteral(
                "Usage: sirano-cli capture [--browser PORT] [--data FILE]\n\n"
                "Does what the tray's \"記憶\" does: every idle window showing an http or https\n"
                "page with a form becomes a new site when it has a filled text box or a check\n"
                "box, and the data file is saved. Prints the new sites as \"list\" does. Asks\n"
                "the master password when one is set; creates the data file when there is\n"
                "none. Refused while SIRANO is running with the same data folder.")))
        return exitcode::kOk;
    const auto lock = lockForWriting(cl.dataFile);
    AppState state;
    logIn(state, cl.dataFile, io, true);
    // Before anything is written: no browser, no capture, and no data file made.
    const std::unique_ptr<Browser> browser = connectOrFail(cl);
    const SystemClock clock;
    FileErrorLog log(state.dataFolder, clock);
    CliActions actions(state, cl.dataFile);
    const int before = state.siteTable.siteCount();
    const AutomationReport report = Automation(state, *browser, log, actions).capture();
    if (report.error)
        failed(QStringLiteral("The capture"), *report.error, actions.saveFailure);

    const int after = state.siteTable.siteCount();
    for (int i = before; i < after; ++i) {
        const SiteEntry& e = state.siteTable.at(i);
        io.out << i << u'\t' << e.title << u'\t' << e.url << u'\t' << e.urlKeyword << u'\t'
               << e.fieldCount() << u'\n';
    }
    io.err << QStringLiteral("captured %1 into %2\n")
                  .arg(englishCount(after - before, u"site"), cl.dataFile);
    return exitcode::kOk;
}

int fillCommand(const QStringList& args, const Io& io) {
    BrowserCommandLine cl;
    if (!parse(cl, QStringLiteral("fill"), args, 1, io,
               QStringLiteral(
                   "Usage: sirano-cli fill INDEX [--browser PORT] [--data FILE]\n\n"
                   "Does what choosing site INDEX (as \"list\" shows it) in the site menu does:\n"
                   "its stored values are written into every idle window whose address matches;\n"
                   "when no text value could be written that way, its address is opened in a\n"
                   "background tab, or in a new browser window when none is open. Forms are never\n"
                   "submitted. Asks the master password when one is set.")))
        return exitcode::kOk;
    const QString indexText = cl.parser.positionalArguments().constFirst();
    bool ok = false;
    const int index = indexText.toInt(&ok);
    if (!ok || index < 0)
        throw CliError(exitcode::kUsage,
                       QStringLiteral("fill: '%1' is not a site index.\nTry 'sirano-cli fill "
                                      "--help'.")
                           .arg(indexText));
    AppState state;
    logIn(state, cl.dataFile, io);
    if (index >= state.siteTable.siteCount())
        throw CliError(exitcode::kUsage,
                       QStringLiteral("There is no site %1: %2 holds %3.")
                           .arg(index)
                           .arg(cl.dataFile, englishCount(state.siteTable.siteCount(), u"site")));

    const std::unique_ptr<Browser> browser = connect(cl);
    const SystemClock clock;
    FileErrorLog log(state.dataFolder, clock);
    CliActions actions(state, cl.dataFile);
    const AutomationReport report =
        Automation(state, *browser, log, actions).fillSite(static_cast<int16_t>(index));

    for (const AutomationReport::Write& w : report.writes) {
        if (w.result.failure)
            io.out << QStringLiteral("stopped in window %1 (%2) after %3\n")
                          .arg(w.window)
                          .arg(w.address, englishCount(w.result.applied, u"field"));
        else if (w.result.hadForms)
            io.out << QStringLiteral("filled window %1 (%2)\n").arg(w.window).arg(w.address);
    }
    for (const QString& url : report.openedInBackground)
        io.out << QStringLiteral("opened %1 in a background tab\n").arg(url);
    for (const QString& url : report.openedInNewBrowser)
        io.out << QStringLiteral("opened %1 in a new browser window\n").arg(url);
    if (report.error)
        failed(QStringLiteral("The fill"), *report.error, {});
    return exitcode::kOk;
}

}  // namespace

QList<Command> browserCommands() {
    return {
        {QStringLiteral("windows"),
         QStringLiteral("list the browser's windows (order, number, busy, address)"),
         windowsCommand},
        {QStringLiteral("capture"),
         QStringLiteral("add every idle page with a filled form as a site (\"記憶\")"),
         captureCommand},
        {QStringLiteral("fill"),
         QStringLiteral("fill site INDEX into the matching pages, or open it"), fillCommand},
    };
}

}  // namespace sirano::cli
