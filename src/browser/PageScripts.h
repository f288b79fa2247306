// The two page functions that run in the page's isolated world (the texts of src/browser/page),
// and the decoding of their answers, whichever way they travelled. Both are constant text: values
// travel as call arguments, never inside the script.
#pragma once

#include "browser/ObjectModel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace sirano::pagescripts {

// Runtime.evaluate expression: {title, url, forms: [[[tagName, type, name, value,
// checked]...]...]}.
QString readExpression();
// Runtime.callFunctionOn declaration, called with (edits, observedUrl).
// Answers {moved: true} when the document's origin is no longer observedUrl's,
// else {hadForms, applied, error?, reason?}.
QString writeFunction();

// Both throw SiranoError (13) for an answer of the wrong shape or past the bounds.
PageSnapshot decodeSnapshot(const QJsonObject& value);
QJsonArray encodeEdits(const QList<FieldEdit>& edits);
// Throws SiranoError (462) for {moved: true}.
WriteResult decodeWriteResult(const QJsonObject& value);

}  // namespace sirano::pagescripts
