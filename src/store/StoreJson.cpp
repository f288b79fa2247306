#include "StoreJson.h"

#include <QJsonArray>
#include <cmath>

namespace sirano {
namespace {

constexpr int kFormatVersion = 1;

QString passwordRefusalText(PasswordRefusal refusal) {
    switch (refusal) {
        case PasswordRefusal::LineEnd:
            return QStringLiteral("holds a line end (CR or LF), which no password prompt can take");
        case PasswordRefusal::LoneSurrogate:
            return QStringLiteral(
                "holds half of a UTF-16 surrogate pair, which no password "
                "prompt can take");
        case PasswordRefusal::EmptyMarker:
            return QStringLiteral(
                "is the data file's marker for \"no password\", and would read "
                "back as no password");
        case PasswordRefusal::None:
            break;
    }
    return {};
}

// Reads one object's keys; every failure names the key by its path in the document.
class Keys {
public:
    Keys(const QJsonObject& object, QString path) : object_(object), path_(std::move(path)) {}

    // A text of at most kMaxTextLength characters. A lone surrogate is refused where the data
    // file keeps the text as it is (it would come back as "?"), not in the scrambled values.
    QString text(const char* key, bool plain = true) const {
        const QJsonValue v = value(key);
        if (!v.isString())
            fail(key, QStringLiteral("must be a text"));
        QString t = v.toString();
        if (t.size() > kMaxTextLength)
            fail(key, QStringLiteral("holds %1; at most %2 are allowed")
                          .arg(englishCount(t.size(), u"character"))
                          .arg(kMaxTextLength));
        if (plain && hasLoneSurrogate(t))
            fail(key, QStringLiteral("holds half of a UTF-16 surrogate pair, which the data file "
                                     "cannot keep"));
        return t;
    }

    int number(const char* key, int min, int max) const {
        const QJsonValue v = value(key);
        const double d = v.toDouble();
        if (!v.isDouble() || d != std::floor(d))
            fail(key, QStringLiteral("must be a whole number"));
        if (d < min || d > max)
            fail(key, QStringLiteral("is %1; it must be from %2 to %3").arg(d).arg(min).arg(max));
        return static_cast<int>(d);
    }

    QJsonArray array(const char* key, int maxSize) const {
        const QJsonValue v = value(key);
        if (!v.isArray())
            fail(key, QStringLiteral("must be a list"));
        const QJsonArray a = v.toArray();
        if (a.size() > maxSize)
            fail(key, QStringLiteral("holds %1; at most %2 are allowed")
                          .arg(englishCount(a.size(), u"item"))
                          .arg(maxSize));
        return a;
    }

    Keys object(const char* key) const { return Keys(objectAt(value(key), name(key)), name(key)); }

    static QJsonObject objectAt(const QJsonValue& v, const QString& path) {
        if (!v.isObject())
            throw SiranoError(err::kBadFileFormat,
                              QStringLiteral("\"%1\" must be an object.").arg(path));
        return v.toObject();
    }

    const QJsonObject& json() const { return object_; }
    QString name(const char* key) const {
        return path_.isEmpty() ? QLatin1String(key) : path_ + u'.' + QLatin1String(key);
    }

private:
    QJsonValue value(const char* key) const {
        const auto it = object_.constFind(QLatin1String(key));
        if (it == object_.constEnd())
            throw SiranoError(err::kBadFileFormat,
                              QStringLiteral("The key \"%1\" is missing.").arg(name(key)));
        return *it;
    }

    [[noreturn]] void fail(const char* key, const QString& why) const {
        throw SiranoError(err::kBadFileFormat, QStringLiteral("\"%1\" %2.").arg(name(key), why));
    }

    QJsonObject object_;
    QString path_;
};

}  // namespace

QJsonObject storeToJson(const StoreContents& contents) {
    QJsonArray sites;
    const SiteTable& table = contents.siteTable;
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        QJsonArray fields;
        for (const SiteField& f : e.fields()) {
            fields.append(QJsonObject{{QStringLiteral("formIndex"), f.formIndex},
                                      {QStringLiteral("elementIndex"), f.elementIndex},
                                      {QStringLiteral("type"), f.fieldType},
                                      {QStringLiteral("name"), f.fieldName},
                                      {QStringLiteral("value"), f.fieldValue}});
        }
        sites.append(QJsonObject{{QStringLiteral("title"), e.title},
                                 {QStringLiteral("url"), e.url},
                                 {QStringLiteral("urlKeyword"), e.urlKeyword},
                                 {QStringLiteral("fields"), fields}});
    }
    const Settings& s = contents.settings;
    return QJsonObject{{QStringLiteral("format"), QStringLiteral("sirano")},
                       {QStringLiteral("version"), kFormatVersion},
                       {QStringLiteral("settings"),
                        QJsonObject{{QStringLiteral("masterPassword"), s.masterPassword},
                                    {QStringLiteral("autoLoginAtStart"), s.autoLoginAtStart},
                                    {QStringLiteral("autoLogoutMinutes"), s.autoLogoutMinutes}}},
                       {QStringLiteral("sites"), sites}};
}

StoreContents storeFromJson(const QJsonObject& document) {
    const Keys top(document, QString());
    if (top.text("format") != QLatin1String("sirano"))
        throw SiranoError(err::kBadFileFormat, QStringLiteral("\"format\" must be \"sirano\"."));
    if (top.number("version", 0, 1000) != kFormatVersion)
        throw SiranoError(err::kBadFileFormat,
                          QStringLiteral("\"version\" must be %1; this program reads no other.")
                              .arg(kFormatVersion));

    StoreContents contents;
    const Keys settings = top.object("settings");
    contents.settings.masterPassword = settings.text("masterPassword", false);
    if (const PasswordRefusal refusal = masterPasswordRefusal(contents.settings.masterPassword);
        refusal != PasswordRefusal::None)
        throw SiranoError(err::kBadFileFormat,
                          QStringLiteral("\"%1\" %2.")
                              .arg(settings.name("masterPassword"), passwordRefusalText(refusal)));
    contents.settings.autoLoginAtStart =
        static_cast<int16_t>(settings.number("autoLoginAtStart", 0, 9));
    contents.settings.autoLogoutMinutes =
        static_cast<int16_t>(settings.number("autoLogoutMinutes", 0, 999));

    const QJsonArray sites = top.array("sites", kTableSlots);
    for (qsizetype i = 0; i < sites.size(); ++i) {
        const QString sitePath = QStringLiteral("sites[%1]").arg(i);
        const Keys site(Keys::objectAt(sites[i], sitePath), sitePath);
        SiteEntry e;
        e.title = site.text("title");
        e.url = site.text("url");
        e.urlKeyword = site.text("urlKeyword");
        const QJsonArray fields = site.array("fields", kFieldColumns);
        for (qsizetype j = 0; j < fields.size(); ++j) {
            const QString fieldPath = sitePath + QStringLiteral(".fields[%1]").arg(j);
            const Keys field(Keys::objectAt(fields[j], fieldPath), fieldPath);
            SiteField f;
            f.formIndex = static_cast<int16_t>(field.number("formIndex", INT16_MIN, INT16_MAX));
            f.elementIndex =
                static_cast<int16_t>(field.number("elementIndex", INT16_MIN, INT16_MAX));
            f.fieldType = field.text("type");
            f.fieldName = field.text("name");
            f.fieldValue = field.text("value", false);
            e.setField(static_cast<int>(j), std::move(f));
        }
        contents.siteTable.append(std::move(e));
    }
    return contents;
}

}  // namespace sirano
