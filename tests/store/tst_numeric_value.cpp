// The numeric value of a text, as the settings header and the dialogs read numbers.
#include "store/NumericValue.h"

#include <QTest>
#include <cmath>

using namespace sirano;

class NumericValueTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void value_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("leading zeros") << "005" << 5.0;
        QTest::newRow("single digit") << "1" << 1.0;
        QTest::newRow("blanks skipped") << "  \t 42" << 42.0;
        QTest::newRow("negative") << "-17" << -17.0;
        QTest::newRow("plus sign") << "+3" << 3.0;
        QTest::newRow("stops at text") << "12abc" << 12.0;
        QTest::newRow("stops at inner blank") << "12 34" << 12.0;
        QTest::newRow("decimal point") << "3.25x" << 3.25;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("trailing point") << "7." << 7.0;
        QTest::newRow("exponent") << "1.5e3" << 1500.0;
        QTest::newRow("negative exponent") << "25E-1" << 2.5;
        QTest::newRow("exponent without digits") << "4e" << 4.0;
        QTest::newRow("exponent with sign only") << "4e+" << 4.0;
        QTest::newRow("hexadecimal") << "&H1F" << 31.0;
        QTest::newRow("hexadecimal lower case") << "&hff" << 255.0;
        QTest::newRow("hexadecimal stops at non-digit") << "&H1G" << 1.0;
        QTest::newRow("hexadecimal without digits") << "&H" << 0.0;
        QTest::newRow("ampersand alone") << "&" << 0.0;
        QTest::newRow("no number") << "abc" << 0.0;
        QTest::newRow("sign alone") << "-" << 0.0;
        QTest::newRow("point alone") << "." << 0.0;
        QTest::newRow("full-width digits are no number") << "５" << 0.0;
        QTest::newRow("underflow") << "1e-999" << 0.0;
    }
    void value() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(numericValue(text), value);
    }

    void overflowIsInfinite() {
        QVERIFY(std::isinf(numericValue(u"1e999")));
        QVERIFY(numericValue(u"-1e999") < 0);
    }
};

QTEST_GUILESS_MAIN(NumericValueTest)
#include "tst_numeric_value.moc"
