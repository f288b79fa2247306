#include "PageScripts.h"

#include "browser/PageFunctionTexts.h"

#include <QJsonValue>

namespace sirano::pagescripts {

namespace {

// A page answers what its own script or, through the extension, the browser says; a hostile page
// can shape either, so every answer is checked like imported data before it is used.
constexpr qsizetype kMaxForms = 10000;
constexpr qsizetype kMaxElementsPerForm = 10000;
constexpr int kMaxEditsAnswered = 1 << 20;

SiranoError malformed(const QString& what) {
    return SiranoError(err::kTypeMismatch,
                       QStringLiteral("The page answered in a form not understood: %1.").arg(what));
}

QString str(const QJsonArray& a, int i) {
    return a.at(i).toString();
}

}  // namespace

QString readExpression() {
    return QStringLiteral("(() => {%1%2})()")
        .arg(QString::fromUtf8(pagefunctions::kPrelude), QString::fromUtf8(pagefunctions::kRead));
}

QString writeFunction() {
    return QStringLiteral("function (edits, observedUrl) {%1%2}")
        .arg(QString::fromUtf8(pagefunctions::kPrelude), QString::fromUtf8(pagefunctions::kWrite));
}

PageSnapshot decodeSnapshot(const QJsonObject& value) {
    const QJsonValue title = value.value(QLatin1String("title"));
    const QJsonValue url = value.value(QLatin1String("url"));
    const QJsonValue forms = value.value(QLatin1String("forms"));
    if (!title.isString() || !url.isString() || !forms.isArray())
        throw malformed(QStringLiteral("no title, address or forms"));
    const QJsonArray formList = forms.toArray();
    if (formList.size() > kMaxForms)
        throw malformed(QStringLiteral("%1 forms").arg(formList.size()));
    PageSnapshot page;
    page.title = title.toString();
    page.url = url.toString();
    for (const QJsonValue& form : formList) {
        if (!form.isArray())
            throw malformed(QStringLiteral("a form that is no list"));
        const QJsonArray elements = form.toArray();
        if (elements.size() > kMaxElementsPerForm)
            throw malformed(QStringLiteral("%1 elements in a form").arg(elements.size()));
        FormSnapshot f;
        f.elements.reserve(elements.size());
        for (const QJsonValue& element : elements) {
            const QJsonArray e = element.toArray();
            if (!element.isArray() || e.size() != 5 || !e.at(0).isString() || !e.at(1).isString() ||
                !e.at(2).isString() || !e.at(3).isString() || !e.at(4).isBool())
                throw malformed(QStringLiteral("an element not described as expected"));
            f.elements.append(
                ElementSnapshot{str(e, 0), str(e, 1), str(e, 2), str(e, 3), e.at(4).toBool()});
        }
        page.forms.append(std::move(f));
    }
    return page;
}

QJsonArray encodeEdits(const QList<FieldEdit>& edits) {
    QJsonArray out;
    for (const FieldEdit& e : edits) {
        out.append(QJsonArray{e.formIndex, e.elementIndex, e.checkbox, e.checked, e.value,
                              e.expectedName ? QJsonValue(*e.expectedName) : QJsonValue()});
    }
    return out;
}

WriteResult decodeWriteResult(const QJsonObject& value) {
    if (value.value(QLatin1String("moved")).toBool()) {
        throw SiranoError(err::kObjectDisconnected,
                          QStringLiteral("The page moved to another site during the call."));
    }
    const QJsonValue hadForms = value.value(QLatin1String("hadForms"));
    const QJsonValue applied = value.value(QLatin1String("applied"));
    if (!hadForms.isBool() || !applied.isDouble() || applied.toDouble() < 0 ||
        applied.toDouble() > kMaxEditsAnswered || applied.toDouble() != applied.toInt())
        throw malformed(QStringLiteral("a write answered without its counts"));
    WriteResult result;
    result.hadForms = hadForms.toBool();
    result.applied = applied.toInt();
    if (value.contains(QLatin1String("error"))) {
        const int number = value.value(QLatin1String("error")).toInt();
        if (number != err::kObjectNotSet && number != err::kNoSuchMember)
            throw malformed(QStringLiteral("a write failed with an unknown number"));
        result.failure = SiranoError(number, value.value(QLatin1String("reason")).toString());
    }
    return result;
}

}  // namespace sirano::pagescripts
