#include "PageScripts.h"

#include <QJsonValue>

namespace sirano::pagescripts {

namespace {

// Named elements shadow plain properties of a document (<form name="forms">, <img name="title">)
// and of a form (<input name="elements">), so both scripts read through the prototype getters.
const char kPrelude[] = R"JS(
  const getter = (proto, name) => Object.getOwnPropertyDescriptor(proto, name).get;
  const formsOf = getter(Document.prototype, 'forms');
  const elementsOf = getter(HTMLFormElement.prototype, 'elements');
  const urlOf = getter(Document.prototype, 'URL');
)JS";

const char kRead[] = R"JS(
  const titleOf = getter(Document.prototype, 'title');
  const text = (v) => (v === undefined || v === null) ? '' : String(v);
  const read = (el, name) => { try { return el[name]; } catch (e) { return undefined; } };
  const forms = [];
  const formList = formsOf.call(document);
  for (let i = 0; i < formList.length; i++) {
    const elementList = elementsOf.call(formList[i]);
    const elements = [];
    for (let j = 0; j < elementList.length; j++) {
      const el = elementList[j];
      elements.push([text(read(el, 'tagName')), text(read(el, 'type')), text(read(el, 'name')),
                     text(read(el, 'value')), read(el, 'checked') === true]);
    }
    forms.push(elements);
  }
  return {title: text(titleOf.call(document)), url: text(urlOf.call(document)), forms};
)JS";

// A text goes through the element's own native value setter and then announces itself with
// bubbling input and change events, as typing would: script-driven pages keep their state.
// A tick that must change is clicked (the page sees click, input and change); should a page
// cancel the click, the tick is set directly.
const char kWrite[] = R"JS(
  if (observedUrl) {
    let same = false;
    try { same = new URL(observedUrl).origin === new URL(urlOf.call(document)).origin; } catch (e) {}
    if (!same) return {moved: true};
  }
  const forms = formsOf.call(document);
  if (forms.length === 0) return {hadForms: false, applied: 0};
  const valueSetter = (el) => {
    for (let p = Object.getPrototypeOf(el); p; p = Object.getPrototypeOf(p)) {
      const d = Object.getOwnPropertyDescriptor(p, 'value');
      if (d) return d.set;
    }
    return undefined;
  };
  const fire = (el, type) => el.dispatchEvent(new Event(type, {bubbles: true}));
  let applied = 0;
  const fail = (error, reason) => ({hadForms: true, applied, error, reason});
  for (const [formIndex, elementIndex, isBox, tick, value, expectedName] of edits) {
    if (!(formIndex >= 0 && formIndex < forms.length))
      return fail(91, 'form ' + formIndex + ' is past the end of ' + forms.length + ' forms');
    const elements = elementsOf.call(forms[formIndex]);
    if (!(elementIndex >= 0 && elementIndex < elements.length))
      return fail(91, 'element ' + elementIndex + ' is past the end of ' + elements.length +
                      ' elements of form ' + formIndex);
    const el = elements[elementIndex];
    try {
      if (expectedName !== null && el.name !== expectedName) { applied++; continue; }
      if (isBox) {
        if (typeof el.checked !== 'boolean') return fail(438, el.tagName + ' has no tick');
        if (el.checked !== tick) {
          el.click();
          if (el.checked !== tick) { el.checked = tick; fire(el, 'input'); fire(el, 'change'); }
        }
      } else {
        const set = valueSetter(el);
        if (!set) return fail(438, el.tagName + ' has no value');
        set.call(el, value);
        fire(el, 'input');
        fire(el, 'change');
      }
    } catch (e) {
      return fail(438, String(e));
    }
    applied++;
  }
  return {hadForms: true, applied};
)JS";

QString str(const QJsonArray& a, int i) {
    return a.at(i).toString();
}

}  // namespace

QString readExpression() {
    return QStringLiteral("(() => {%1%2})()")
        .arg(QString::fromUtf8(kPrelude), QString::fromUtf8(kRead));
}

QString writeFunction() {
    return QStringLiteral("function (edits, observedUrl) {%1%2}")
        .arg(QString::fromUtf8(kPrelude), QString::fromUtf8(kWrite));
}

PageSnapshot decodeSnapshot(const QJsonObject& value) {
    PageSnapshot page;
    page.title = value.value(QLatin1String("title")).toString();
    page.url = value.value(QLatin1String("url")).toString();
    for (const QJsonValue& form : value.value(QLatin1String("forms")).toArray()) {
        FormSnapshot f;
        for (const QJsonValue& element : form.toArray()) {
            const QJsonArray e = element.toArray();
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
    WriteResult result;
    result.hadForms = value.value(QLatin1String("hadForms")).toBool();
    result.applied = value.value(QLatin1String("applied")).toInt();
    if (value.contains(QLatin1String("error"))) {
        const int number = value.value(QLatin1String("error")).toInt();
        result.failure = SiranoError(number, value.value(QLatin1String("reason")).toString());
    }
    return result;
}

}  // namespace sirano::pagescripts
