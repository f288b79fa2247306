// The answers of the page functions as they arrive (from a page's world over DevTools, or from the
// extension): what a hostile page or a broken extension could shape is refused before use.
#include "browser/PageScripts.h"
#include "support/Errors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

}  // namespace

class TestPageAnswers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wellFormedSnapshot() {
        const PageSnapshot page = pagescripts::decodeSnapshot(json(
            R"({"title":"T","url":"http://a.test/","forms":[[["INPUT","text","user","v",false],)"
            R"(["INPUT","checkbox","keep","on",true]],[]]})"));
        QCOMPARE(page.title, QStringLiteral("T"));
        QCOMPARE(page.forms.size(), 2);
        QCOMPARE(page.forms[0].elements[1].name, QStringLiteral("keep"));
        QVERIFY(page.forms[0].elements[1].checked);
        QVERIFY(page.forms[1].elements.isEmpty());
    }

    void malformedSnapshots_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("no forms") << QByteArray(R"({"title":"T","url":"u"})");
        QTest::newRow("title a number") << QByteArray(R"({"title":1,"url":"u","forms":[]})");
        QTest::newRow("forms an object") << QByteArray(R"({"title":"","url":"u","forms":{}})");
        QTest::newRow("form not a list") << QByteArray(R"({"title":"","url":"u","forms":["x"]})");
        QTest::newRow("element too short")
            << QByteArray(R"({"title":"","url":"u","forms":[[["INPUT","text","n","v"]]]})");
        QTest::newRow("value an object")
            << QByteArray(R"({"title":"","url":"u","forms":[[["INPUT","text","n",{},false]]]})");
        QTest::newRow("checked a string")
            << QByteArray(R"({"title":"","url":"u","forms":[[["INPUT","text","n","v","true"]]]})");
        QJsonArray forms;
        for (int i = 0; i < 10001; ++i)
            forms.append(QJsonArray());
        QTest::newRow("too many forms")
            << QJsonDocument(QJsonObject{{"title", ""}, {"url", "u"}, {"forms", forms}}).toJson();
    }
    void malformedSnapshots() {
        QFETCH(QByteArray, answer);
        const QJsonObject value = QJsonDocument::fromJson(answer).object();
        QCOMPARE(errorNumber([&] { pagescripts::decodeSnapshot(value); }), err::kTypeMismatch);
    }

    void writeAnswers() {
        const WriteResult ok =
            pagescripts::decodeWriteResult(json(R"({"hadForms":true,"applied":3})"));
        QVERIFY(ok.hadForms && ok.applied == 3 && !ok.failure);
        const WriteResult failed = pagescripts::decodeWriteResult(
            json(R"({"hadForms":true,"applied":1,"error":438,"reason":"no value"})"));
        QCOMPARE(failed.failure->number(), err::kNoSuchMember);
        QCOMPARE(errorNumber([] { pagescripts::decodeWriteResult(json(R"({"moved":true})")); }),
                 err::kObjectDisconnected);
        for (const char* bad :
             {R"({"applied":1})", R"({"hadForms":true,"applied":-1})",
              R"({"hadForms":true,"applied":1.5})", R"({"hadForms":"yes","applied":0})",
              R"({"hadForms":true,"applied":0,"error":429})"})
            QCOMPARE(errorNumber([&] { pagescripts::decodeWriteResult(json(bad)); }),
                     err::kTypeMismatch);
    }
};

QTEST_GUILESS_MAIN(TestPageAnswers)
#include "tst_page_answers.moc"
