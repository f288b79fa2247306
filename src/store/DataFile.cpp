#include "DataFile.h"

#include "Codec.h"
#include "Cp932.h"
#include "NumericValue.h"

#include <sys/stat.h>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace sirano {
namespace {

const QString kBlankPassphrase = QStringLiteral("Blank Passphrase!");
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr qsizetype kUtf8BomLength = 3;

QString loadMessage(const QString& file, int line, int position, const QString& reason) {
    QString where;
    if (line > 0 && position > 0)
        where = QStringLiteral(" (line %1, value %2)").arg(line).arg(position);
    else if (line > 0)
        where = QStringLiteral(" (line %1)").arg(line);
    return QStringLiteral("The data file %1 cannot be loaded%2: %3.").arg(file, where, reason);
}

// A value as it appears in an error message: quoted, cut short when long.
QString shown(const QString& value) {
    constexpr qsizetype kMax = 40;
    QString v = value.size() > kMax ? value.left(kMax) + QStringLiteral("...") : value;
    v.replace(QLatin1Char('\r'), QStringLiteral("\\r"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return QLatin1Char('"') + v + QLatin1Char('"');
}

struct Value {
    QString text;
    int line = 0;
    int position = 0;
};

// Takes values one after another; a line end is only a delimiter, but is counted for messages.
class Reader {
public:
    Reader(const QString& text, const QString& fileName) : text_(text), file_(fileName) {}

    bool atEnd() const { return pos_ >= text_.size(); }

    // what names the expected value, for the message when the file ends before it.
    Value next(const QString& what) {
        if (atEnd())
            throw LoadError(err::kInputPastEnd, file_, line_, valueInLine_ + 1,
                            QStringLiteral("the file ends where %1 should follow").arg(what));
        Value v;
        v.line = line_;
        v.position = ++valueInLine_;
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == u'"')
            readQuoted(v);
        else
            readBare(v);
        endValue(v);
        return v;
    }

    int16_t number(const Value& v, const QString& what) const {
        const QString& t = v.text;
        if (t.isEmpty())
            return 0;
        qsizetype i = t[0] == u'-' ? 1 : 0;
        if (i == t.size())
            throw notNumber(v, what);
        int64_t n = 0;
        for (; i < t.size(); ++i) {
            if (t[i] < u'0' || t[i] > u'9')
                throw notNumber(v, what);
            n = n * 10 + (t[i].unicode() - u'0');
            if (n > 0x10000)
                break;
        }
        if (t[0] == u'-')
            n = -n;
        if (n < INT16_MIN || n > INT16_MAX)
            throw LoadError(err::kOverflow, file_, v.line, v.position,
                            QStringLiteral("%1 %2 is outside -32768 to 32767").arg(what, shown(t)));
        return static_cast<int16_t>(n);
    }

    const QString& file() const { return file_; }
    int line() const { return line_; }

private:
    LoadError notNumber(const Value& v, const QString& what) const {
        return LoadError(err::kTypeMismatch, file_, v.line, v.position,
                         QStringLiteral("%1 %2 is not a whole number").arg(what, shown(v.text)));
    }

    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == u' ' || text_[pos_] == u'\t'))
            ++pos_;
    }

    void readQuoted(Value& v) {
        ++pos_;
        const qsizetype n = text_.size();
        for (;;) {
            // Copy runs between quotes at once; line ends inside are text, counted for messages.
            const qsizetype quote = text_.indexOf(u'"', pos_);
            const qsizetype end = quote < 0 ? n : quote;
            const QStringView run = QStringView(text_).mid(pos_, end - pos_);
            v.text.append(run);
            countLineEnds(run);
            if (quote < 0)
                throw LoadError(err::kInputPastEnd, file_, v.line, v.position,
                                QStringLiteral("the text value that starts here is never closed by "
                                               "a double quote"));
            pos_ = quote + 1;
            if (pos_ < n && text_[pos_] == u'"') {
                v.text.append(u'"');
                ++pos_;
                continue;
            }
            break;
        }
        skipBlanks();
    }

    void readBare(Value& v) {
        const qsizetype start = pos_;
        const qsizetype n = text_.size();
        while (pos_ < n && text_[pos_] != u',' && text_[pos_] != u'\r' && text_[pos_] != u'\n')
            ++pos_;
        qsizetype end = pos_;
        while (end > start && (text_[end - 1] == u' ' || text_[end - 1] == u'\t'))
            --end;
        v.text = text_.mid(start, end - start);
    }

    void endValue(const Value& v) {
        if (atEnd())
            return;
        const QChar c = text_[pos_];
        if (c == u',') {
            ++pos_;
        } else if (c == u'\r' || c == u'\n') {
            ++pos_;
            if (c == u'\r' && pos_ < text_.size() && text_[pos_] == u'\n')
                ++pos_;
            newLine();
        } else {
            throw LoadError(err::kBadFileFormat, file_, v.line, v.position,
                            QStringLiteral("the text value is followed by %1 instead of a comma or "
                                           "the end of the line")
                                .arg(shown(text_.mid(pos_, 10))));
        }
    }

    void countLineEnds(QStringView run) {
        for (qsizetype i = 0; i < run.size(); ++i) {
            if (run[i] == u'\n' ||
                (run[i] == u'\r' && (i + 1 == run.size() || run[i + 1] != u'\n'))) {
                ++line_;
                valueInLine_ = 0;
            }
        }
    }

    void newLine() {
        ++line_;
        valueInLine_ = 0;
    }

    const QString& text_;
    const QString& file_;
    qsizetype pos_ = 0;
    int line_ = 1;
    int valueInLine_ = 0;
};

QString fieldWhat(const char* what, int j, int i) {
    return QStringLiteral("the %1 of field %2 of entry %3").arg(QLatin1String(what)).arg(j).arg(i);
}

QString decodeValue(Generator& gen, const Reader& reader, const Value& v, const QString& what) {
    if (v.text.isEmpty())
        throw LoadError(
            err::kInvalidArgument, reader.file(), v.line, v.position,
            QStringLiteral("%1 is empty; a stored value holds at least its seed digit").arg(what));
    return decodeText(gen, v.text);
}

Settings settingsFromHeader(const QString& h, const Value& header, const Reader& reader) {
    const qsizetype length = h.size();
    if (length < 4)
        throw LoadError(err::kInvalidArgument, reader.file(), header.line, header.position,
                        QStringLiteral("the header decodes to %1 characters, too few to hold the "
                                       "settings (at least 4)")
                            .arg(length));
    Settings s;
    s.autoLoginAtStart = static_cast<int16_t>(std::nearbyint(numericValue(h.mid(length - 4, 1))));
    const double minutes = std::nearbyint(numericValue(h.right(3)));
    if (!(minutes >= 0 && minutes <= 999))
        throw LoadError(err::kBadFileFormat, reader.file(), header.line, header.position,
                        QStringLiteral("the automatic log-out minutes in the header, %1, are not a "
                                       "number from 0 to 999")
                            .arg(shown(h.right(3))));
    s.autoLogoutMinutes = static_cast<int16_t>(minutes);
    s.masterPassword = h.left(length - 4);
    if (s.masterPassword == kBlankPassphrase)
        s.masterPassword.clear();
    return s;
}

void appendQuoted(QString& out, const QString& text) {
    out.append(u'"');
    if (text.contains(u'"')) {
        QString doubled = text;
        out.append(doubled.replace(u'"', QStringLiteral("\"\"")));
    } else {
        out.append(text);
    }
    out.append(u'"');
}

void appendPlain(QString& out, const QString& text, bool& fitsCp932) {
    if (fitsCp932 && !cp932::fits(text))
        fitsCp932 = false;
    appendQuoted(out, text);
}

[[noreturn]] void saveFailed(const QString& path, const QString& reason, bool existed) {
    throw SiranoError(
        err::kPathFileAccess,
        QStringLiteral("The data file %1 cannot be saved: %2.%3")
            .arg(path, reason, existed ? QStringLiteral(" The file is unchanged.") : QString()));
}

}  // namespace

LoadError::LoadError(int number, QString file, int line, int position, QString reason)
    : SiranoError(number, loadMessage(file, line, position, reason)),
      file_(std::move(file)),
      line_(line),
      position_(position),
      reason_(std::move(reason)) {}

StoreContents parseDataFile(const QByteArray& bytes, Generator& gen, const QString& fileName) {
    const QString text =
        bytes.startsWith(kUtf8Bom)
            ? QString::fromUtf8(bytes.constData() + kUtf8BomLength, bytes.size() - kUtf8BomLength)
            : cp932::decode(bytes);
    Reader reader(text, fileName);
    if (reader.atEnd())
        throw LoadError(err::kInputPastEnd, fileName, 1, 0,
                        QStringLiteral("the file is empty; it should begin with its header"));

    const Value header = reader.next(QStringLiteral("the header"));
    if (header.text.isEmpty())
        throw LoadError(err::kInvalidArgument, fileName, header.line, header.position,
                        QStringLiteral("the header is empty; it should hold the stored settings"));
    const QString h = decodeText(gen, header.text);

    StoreContents contents;
    SiteTable& table = contents.siteTable;
    while (!reader.atEnd()) {
        const int i = table.siteCount();
        if (i >= kTableSlots)
            throw LoadError(err::kSubscriptOutOfRange, fileName, reader.line(), 0,
                            QStringLiteral("the file holds more than %1 entries").arg(kTableSlots));
        const QString entry = QStringLiteral("entry %1").arg(i);
        SiteEntry e;
        e.title = reader.next(QStringLiteral("the title of ") + entry).text;
        const QString countWhat = QStringLiteral("the field count of ") + entry;
        const Value countValue = reader.next(countWhat);
        const int16_t fieldCount = reader.number(countValue, countWhat);
        if (fieldCount < 0 || fieldCount > kFieldColumns)
            throw LoadError(err::kSubscriptOutOfRange, fileName, countValue.line,
                            countValue.position,
                            QStringLiteral("%1 is %2; an entry holds 0 to %3 fields")
                                .arg(countWhat)
                                .arg(fieldCount)
                                .arg(kFieldColumns));
        e.url = reader.next(QStringLiteral("the address of ") + entry).text;
        e.urlKeyword = reader.next(QStringLiteral("the address keyword of ") + entry).text;
        e.setFieldCount(fieldCount);
        for (int j = 0; j < fieldCount; ++j) {
            SiteField& f = e.field(j);
            QString what = fieldWhat("form position", j, i);
            f.formIndex = reader.number(reader.next(what), what);
            what = fieldWhat("element position", j, i);
            f.elementIndex = reader.number(reader.next(what), what);
            f.fieldType = reader.next(fieldWhat("type", j, i)).text;
            f.fieldName = reader.next(fieldWhat("name", j, i)).text;
            what = fieldWhat("stored value", j, i);
            f.fieldValue = decodeValue(gen, reader, reader.next(what), what);
        }
        reader.next(QStringLiteral("the closing index of ") + entry);
        table.append(std::move(e));
    }
    contents.settings = settingsFromHeader(h, header, reader);
    return contents;
}

QByteArray serializeDataFile(const SiteTable& table, const Settings& settings, Generator& gen) {
    if (settings.autoLoginAtStart < 0 || settings.autoLoginAtStart > 9)
        throw SiranoError(
            err::kSubscriptOutOfRange,
            QStringLiteral("The log-in-at-start setting %1 does not fit the data file "
                           "(0 to 9).")
                .arg(settings.autoLoginAtStart));
    if (settings.autoLogoutMinutes < 0 || settings.autoLogoutMinutes > 999)
        throw SiranoError(
            err::kSubscriptOutOfRange,
            QStringLiteral("The automatic log-out minutes %1 do not fit the data file "
                           "(0 to 999).")
                .arg(settings.autoLogoutMinutes));

    const QString password =
        settings.masterPassword.isEmpty() ? kBlankPassphrase : settings.masterPassword;
    const QString h = password + QString::number(settings.autoLoginAtStart) +
                      QStringLiteral("%1").arg(settings.autoLogoutMinutes, 3, 10, QLatin1Char('0'));

    QString out;
    const QLatin1StringView lineEnd("\r\n");
    appendQuoted(out, encodeText(gen, h));
    out.append(lineEnd);
    bool fitsCp932 = true;
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        appendPlain(out, e.title, fitsCp932);
        out.append(u',').append(QString::number(e.fieldCount())).append(u',');
        appendPlain(out, e.url, fitsCp932);
        out.append(u',');
        appendPlain(out, e.urlKeyword, fitsCp932);
        for (const SiteField& f : e.fields()) {
            out.append(u',').append(QString::number(f.formIndex));
            out.append(u',').append(QString::number(f.elementIndex)).append(u',');
            appendPlain(out, f.fieldType, fitsCp932);
            out.append(u',');
            appendPlain(out, f.fieldName, fitsCp932);
            out.append(u',');
            appendQuoted(out, encodeText(gen, f.fieldValue));
        }
        out.append(u',').append(QString::number(i)).append(lineEnd);
    }

    if (fitsCp932) {
        if (auto bytes = cp932::encode(out))
            return *bytes;
    }
    return QByteArray(kUtf8Bom) + out.toUtf8();
}

void loadDataFile(AppState& state, const QString& path) {
    QFile file(path);
    if (!file.exists())
        throw LoadError(err::kFileNotFound, path, 0, 0, QStringLiteral("the file does not exist"));
    if (!file.open(QIODevice::ReadOnly))
        throw LoadError(
            err::kPathFileAccess, path, 0, 0,
            QStringLiteral("it cannot be opened for reading (%1)").arg(file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw LoadError(err::kPathFileAccess, path, 0, 0,
                        QStringLiteral("it cannot be read (%1)").arg(file.errorString()));
    StoreContents contents = parseDataFile(bytes, state.generator, path);
    state.siteTable = std::move(contents.siteTable);
    state.settings = std::move(contents.settings);
}

void saveDataFile(AppState& state, const QString& path) {
    const QByteArray bytes = serializeDataFile(state.siteTable, state.settings, state.generator);
    const bool existed = QFileInfo::exists(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        saveFailed(path, file.errorString(), existed);
    // The values are secrets: a new file is the user's alone. An existing file keeps its mode.
    if (!existed && ::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0)
        saveFailed(path, QString::fromLocal8Bit(std::strerror(errno)), existed);
    if (file.write(bytes) != bytes.size())
        saveFailed(path, file.errorString(), existed);
    if (!file.commit())
        saveFailed(path, file.errorString(), existed);
}

}  // namespace sirano
