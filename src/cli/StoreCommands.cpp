// check, list, export, import and merge: the data file from a terminal.
#include "Commands.h"
#include "store/Merge.h"
#include "store/Reason.h"
#include "store/SafeFile.h"
#include "store/StoreJson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace sirano::cli {
namespace {

const QString kJsonOption = QStringLiteral("json");
const QString kForceOption = QStringLiteral("force");
const QString kOutputOption = QStringLiteral("output");

// One field of a tab-separated line: backslash, tab and line ends escaped, so one entry stays
// one line.
QString tsvField(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
            case u'\\':
                out += QStringLiteral("\\\\");
                break;
            case u'\t':
                out += QStringLiteral("\\t");
                break;
            case u'\n':
                out += QStringLiteral("\\n");
                break;
            case u'\r':
                out += QStringLiteral("\\r");
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool showHelp(const QCommandLineParser& parser, const Io& io, const QString& help) {
    if (!wantsHelp(parser))
        return false;
    io.out << help << u'\n' << exitCodesHelp();
    return true;
}

const QString kDataHelp = QStringLiteral(
    "  --data FILE   the data file; without it, SIRANO.DAT beside sirano-cli when there is one,\n"
    "                else ~/.local/share/sirano/SIRANO.DAT\n"
    "  -h, --help    this help\n");

int check(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parseOrThrow(parser, QStringLiteral("check"), args, 0, 0);
    if (showHelp(
            parser, io,
            QStringLiteral("Usage: sirano-cli check [--data FILE]\n\n"
                           "Loads the data file. Prints \"ok: N sites\", or why the file cannot "
                           "be loaded\n(file, line, value position and reason). Warns when other "
                           "users can read the\ndata folder or the data file, own either, or may "
                           "write into the folder.\nCreates nothing.\n\nOptions:\n") +
                kDataHelp))
        return exitcode::kOk;
    const QString path = dataFilePath(parser);
    const StoreContents contents = loadStore(path, io).contents;
    warnIfOthersCanRead(path, io);
    io.out << QStringLiteral("ok: %1\n").arg(englishCount(contents.siteTable.siteCount(), u"site"));
    return exitcode::kOk;
}

int list(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parser.addOption(QCommandLineOption(kJsonOption, QStringLiteral("JSON output.")));
    parseOrThrow(parser, QStringLiteral("list"), args, 0, 0);
    if (showHelp(
            parser, io,
            QStringLiteral("Usage: sirano-cli list [--json] [--data FILE]\n\n"
                           "Lists the sites, one line each: index, title, address, address "
                           "keyword and\nfield count, separated by tabs (a backslash, tab or "
                           "line end inside a text is\nwritten \\\\, \\t, \\n, \\r). No stored "
                           "value is shown and no password is asked.\n\nOptions:\n"
                           "  --json        a JSON array of objects with the keys index, title, "
                           "url,\n                urlKeyword and fieldCount\n") +
                kDataHelp))
        return exitcode::kOk;
    const StoreContents contents = loadStore(dataFilePath(parser), io).contents;
    const SiteTable& table = contents.siteTable;
    if (parser.isSet(kJsonOption)) {
        QJsonArray sites;
        for (int i = 0; i < table.siteCount(); ++i) {
            const SiteEntry& e = table.at(i);
            sites.append(QJsonObject{{QStringLiteral("index"), i},
                                     {QStringLiteral("title"), e.title},
                                     {QStringLiteral("url"), e.url},
                                     {QStringLiteral("urlKeyword"), e.urlKeyword},
                                     {QStringLiteral("fieldCount"), e.fieldCount()}});
        }
        io.out << QString::fromUtf8(QJsonDocument(sites).toJson());
        return exitcode::kOk;
    }
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        io.out << i << u'\t' << tsvField(e.title) << u'\t' << tsvField(e.url) << u'\t'
               << tsvField(e.urlKeyword) << u'\t' << e.fieldCount() << u'\n';
    }
    return exitcode::kOk;
}

// Writes the export to a new file of the user's alone; an existing file only with --force.
void writeExport(const QString& file, const QString& dataFile, const QByteArray& json, bool force) {
    const QFileInfo target(file);
    if (target.exists() && target.canonicalFilePath() == QFileInfo(dataFile).canonicalFilePath())
        throw CliError(
            exitcode::kRefused,
            QStringLiteral("%1 is the data file itself; export to another file.").arg(file));
    const auto failed =
        writeFileAtomically(file, json, force ? ExistingFile::Replace : ExistingFile::Keep);
    if (failed && failed->exists)
        throw CliError(exitcode::kRefused,
                       QStringLiteral("%1 exists; give --force to replace it.").arg(file));
    if (failed)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("Cannot write %1: %2.")
                           .arg(file, reasonText(failed->reason, Language::English)));
}

int exportStore(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parser.addOption(QCommandLineOption(kOutputOption, QStringLiteral("Write to FILE."),
                                        QStringLiteral("FILE")));
    parser.addOption(
        QCommandLineOption(kForceOption, QStringLiteral("Replace an existing output file.")));
    parseOrThrow(parser, QStringLiteral("export"), args, 0, 0);
    if (showHelp(parser, io,
                 QStringLiteral(
                     "Usage: sirano-cli export [--output FILE [--force]] [--data FILE]\n\n"
                     "Prints the whole store as JSON, stored values in clear:\n"
                     "  {\"format\":\"sirano\",\"version\":1,\n"
                     "   \"settings\":{\"masterPassword\":S,\"autoLoginAtStart\":N,"
                     "\"autoLogoutMinutes\":N},\n"
                     "   \"sites\":[{\"title\":S,\"url\":S,\"urlKeyword\":S,\n"
                     "     \"fields\":[{\"formIndex\":N,\"elementIndex\":N,\"type\":S,\"name\":S,"
                     "\"value\":S}]}]}\n"
                     "When a master password is set it is asked first: on the terminal without "
                     "echo, or\nas the first line of stdin when stdin is not a terminal. A wrong "
                     "password prints\nnothing but the error.\n\nOptions:\n"
                     "  --output FILE write to FILE instead, created readable by you alone "
                     "(mode\n                0600); an existing FILE is refused\n"
                     "  --force       replace an existing output FILE\n") +
                     kDataHelp))
        return exitcode::kOk;
    if (parser.isSet(kForceOption) && !parser.isSet(kOutputOption))
        throw CliError(exitcode::kUsage,
                       QStringLiteral("export: --force needs --output FILE.\nTry 'sirano-cli "
                                      "export --help'."));
    const QString path = dataFilePath(parser);
    const LoadedStore store = loadStore(path, io);
    requireMasterPassword(store, io);
    const StoreContents& contents = store.contents;
    const QByteArray json = QJsonDocument(storeToJson(contents)).toJson();
    if (!parser.isSet(kOutputOption)) {
        io.out << QString::fromUtf8(json);
        return exitcode::kOk;
    }
    const QString output = parser.value(kOutputOption);
    writeExport(output, path, json, parser.isSet(kForceOption));
    io.out << QStringLiteral("exported %1 to %2\n")
                  .arg(englishCount(contents.siteTable.siteCount(), u"site"), output);
    return exitcode::kOk;
}

StoreContents readDocument(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        throw CliError(exitcode::kFailure,
                       QStringLiteral("Cannot read %1: %2.").arg(file, f.errorString()));
    // Up to one byte past the bound: a pipe has no size to ask first, and may answer in parts.
    QByteArray bytes;
    while (bytes.size() <= kMaxDocumentBytes) {
        const QByteArray part = f.read(kMaxDocumentBytes + 1 - bytes.size());
        if (part.isEmpty())
            break;
        bytes += part;
    }
    if (f.error() != QFileDevice::NoError)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("Cannot read %1: %2.").arg(file, f.errorString()));
    if (bytes.size() > kMaxDocumentBytes)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("%1 is larger than %2 MB; no store is that large.")
                           .arg(file)
                           .arg(kMaxDocumentBytes / (1024 * 1024)));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        const QByteArray before = bytes.left(error.offset);
        const qsizetype line = before.count('\n') + 1;
        const qsizetype column = error.offset - (before.lastIndexOf('\n') + 1) + 1;
        throw CliError(exitcode::kFailure, QStringLiteral("%1, line %2, column %3: %4.")
                                               .arg(file)
                                               .arg(line)
                                               .arg(column)
                                               .arg(error.errorString()));
    }
    if (!doc.isObject())
        throw CliError(exitcode::kFailure,
                       QStringLiteral("%1: the document must be a JSON object.").arg(file));
    try {
        return storeFromJson(doc.object());
    } catch (const SiranoError& e) {
        throw CliError(exitcode::kFailure, QStringLiteral("%1: %2").arg(file, e.message()));
    }
}

int importStore(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parser.addOption(
        QCommandLineOption(kForceOption, QStringLiteral("Replace an existing data file.")));
    parseOrThrow(parser, QStringLiteral("import"), args, 1, 1);
    if (showHelp(parser, io,
                 QStringLiteral(
                     "Usage: sirano-cli import FILE.json [--force] [--data FILE]\n\n"
                     "Writes the data file from a JSON document in the form that export prints. "
                     "The\nwhole document is checked first (a missing key, a number out of range, "
                     "more than\n1001 sites or 101 fields in a site are refused, naming the key); "
                     "nothing is\nwritten unless all of it is good. Refused too: a document "
                     "over 64 MB, a text over\n32767 characters, a lone UTF-16 surrogate in a "
                     "title, address, keyword, type or\nname, and a master password that holds a "
                     "line end or is \"Blank Passphrase!\".\nThe file is replaced "
                     "atomically. Refused while SIRANO is running with the same\ndata "
                     "folder.\n\nOptions:\n"
                     "  --force       replace an existing data file; its master password, if "
                     "any, is\n                asked first (as export asks it)\n") +
                     kDataHelp))
        return exitcode::kOk;

    const StoreContents contents = readDocument(parser.positionalArguments().constFirst());
    const QString path = dataFilePath(parser);
    const auto lock = lockForWriting(path);
    bool wasEncrypted = false;
    if (QFileInfo::exists(path)) {
        if (!parser.isSet(kForceOption))
            throw CliError(
                exitcode::kRefused,
                QStringLiteral("The data file %1 exists; give --force to replace it.").arg(path));
        LoadedStore existing;
        try {
            existing = loadStore(path, io);
        } catch (const CliError& e) {
            if (e.exitCode() != exitcode::kFailure)
                throw;
            throw CliError(
                exitcode::kFailure,
                e.message() + QStringLiteral(" Its master password cannot be checked, so "
                                             "it is not replaced; move it away first."));
        }
        requireMasterPassword(existing, io);
        wasEncrypted = existing.key.has_value();
    }

    // An encrypted file stays encrypted, with a key from the imported master password.
    std::optional<DataFileKey> key;
    if (wasEncrypted && !contents.settings.masterPassword.isEmpty())
        key = DataFileKey::create(contents.settings.masterPassword, calibratedKdfParams());
    else if (wasEncrypted)
        io.err << QStringLiteral(
            "sirano-cli: the imported store has no master password, so the data file is "
            "written without encryption.\n");
    saveStore(contents, path, key ? &*key : nullptr);
    io.out << QStringLiteral("imported %1 into %2\n")
                  .arg(englishCount(contents.siteTable.siteCount(), u"site"), path);
    return exitcode::kOk;
}

int mergeStore(const QStringList& args, const Io& io) {
    QCommandLineParser parser;
    addCommonOptions(parser);
    parseOrThrow(parser, QStringLiteral("merge"), args, 1, 1);
    if (showHelp(parser, io,
                 QStringLiteral(
                     "Usage: sirano-cli merge OTHER.DAT [--data FILE]\n\n"
                     "Adds to the data file the sites of another data file: a conflict copy "
                     "that a sync\ntool left (SIRANO.sync-conflict-....DAT, \"SIRANO (conflicted "
                     "copy ...).DAT\"), or\na copy from another machine. A site equal in title, "
                     "address, keyword and fields\nto one already there is taken once; a site "
                     "that differs is kept beside it, and\nthe report names it. The settings "
                     "stay those of the data file. OTHER's master\npassword, if it has one, is "
                     "asked first (as export asks it). Nothing is written\nwhen the table "
                     "would hold more than 1001 sites, or when nothing is new. Refused\nwhile "
                     "SIRANO is running with the same data folder.\n\nOptions:\n") +
                     kDataHelp))
        return exitcode::kOk;

    const QString otherPath = parser.positionalArguments().constFirst();
    const QString path = dataFilePath(parser);
    if (QFileInfo(otherPath).canonicalFilePath() == QFileInfo(path).canonicalFilePath())
        throw CliError(exitcode::kUsage,
                       QStringLiteral("merge: %1 is the data file itself.").arg(otherPath));
    const LoadedStore other = loadStore(otherPath, io);
    requireMasterPassword(other, io);
    const auto lock = lockForWriting(path);
    const LoadedStore mine = QFileInfo::exists(path) ? loadStore(path, io) : LoadedStore{};
    const TableMerge merged = mergeTables(mine.contents.siteTable, other.contents.siteTable);
    if (merged.tableFull)
        throw CliError(exitcode::kFailure,
                       QStringLiteral("With the sites of %1 the data file %2 would hold more "
                                      "than %3 sites; nothing was written.")
                           .arg(otherPath, path)
                           .arg(kTableSlots));
    if (merged.added == 0) {
        io.out << QStringLiteral("nothing to merge: every site of %1 is in %2 already\n")
                      .arg(otherPath, path);
        return exitcode::kOk;
    }
    // An encrypted data file stays encrypted, with its own key.
    saveStore(StoreContents{merged.table, mine.contents.settings}, path,
              mine.key ? &*mine.key : nullptr);
    io.out << QStringLiteral("merged %1 into %2: %3 added, %4 there already\n")
                  .arg(otherPath, path, englishCount(merged.added, u"site"))
                  .arg(merged.alreadyHeld);
    for (const int i : merged.differing) {
        const SiteEntry& e = merged.table.at(i);
        io.out << QStringLiteral("  kept both: %1 (%2) differs from the one there already\n")
                      .arg(e.title, e.url);
    }
    io.out << QStringLiteral("%1 can now be removed.\n").arg(otherPath);
    return exitcode::kOk;
}

}  // namespace

QList<Command> storeCommands() {
    return {
        {QStringLiteral("check"),
         QStringLiteral("load the data file and report \"ok: N sites\" or why it fails"), check},
        {QStringLiteral("list"),
         QStringLiteral("list the sites (index, title, address, keyword, field count)"), list},
        {QStringLiteral("export"), QStringLiteral("print the whole store as JSON, values in clear"),
         exportStore},
        {QStringLiteral("import"), QStringLiteral("write the data file from such a JSON document"),
         importStore},
        {QStringLiteral("merge"),
         QStringLiteral("add the sites of another data file (a sync tool's conflict copy)"),
         mergeStore},
    };
}

}  // namespace sirano::cli
