#include "adjustmentrule.h"
#include "attributewalk.h"
#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "xmlcompare.h"

#include <QDomDocument>
#include <QtTest>

using namespace xmladjust;

class tst_Adjustment : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void numeralGrammar_data();
    void numeralGrammar();
    void newValueText_data();
    void newValueText();
    void bounds_data();
    void bounds();
    void walk_data();
    void walk();
};

void tst_Adjustment::numeralGrammar_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // null: not a plain numeral

    QTest::newRow("plus sign") << "+3"
                               << "3";
    QTest::newRow("leading and trailing zeros") << "007.500"
                                                << "7.5";
    QTest::newRow("negative zero") << "-0.000"
                                   << "0";
    QTest::newRow("many digits") << "123456789012345678901234567890.000000000000000000001"
                                 << "123456789012345678901234567890.000000000000000000001";
    QTest::newRow("lone point") << "." << QString();
    QTest::newRow("lone sign") << "-" << QString();
    QTest::newRow("exponent") << "1e3" << QString();
    QTest::newRow("two points") << "1.2.3" << QString();
    QTest::newRow("arabic-indic digit") << QString(QChar(0x0661)) << QString();
}

void tst_Adjustment::numeralGrammar()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    const std::optional<DecimalNumber> number = DecimalNumber::fromNumeral(text);
    QCOMPARE(number.has_value(), !canonical.isNull());
    if (number)
        QCOMPARE(number->toString(), canonical);
}

void tst_Adjustment::newValueText_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<double>("increment"); // as the spin box holds it
    QTest::addColumn<QString>("expected"); // null: left unchanged

    QTest::newRow("no binary noise") << "10" << 0.2 << "10.2";
    QTest::newRow("0.1 + 0.2") << "0.1" << 0.2 << "0.3";
    QTest::newRow("coordinate") << "55.7558123" << 0.2 << "55.9558123";
    QTest::newRow("trailing zero dropped") << "1.50" << 1.0 << "2.5";
    QTest::newRow("zero is never negative") << "-0.5" << 0.5 << "0";
    QTest::newRow("spaces around") << " 7 " << 2.5 << "9.5";
    QTest::newRow("tab and no-break space") << QString("\t7\u00a0") << 1.0 << "8";
    QTest::newRow("beyond double precision") << "123456789012345678" << 1.0 << "123456789012345679";
    QTest::newRow("leading point") << ".5" << 1.0 << "1.5";
    QTest::newRow("trailing point") << "5." << 1.0 << "6";
    QTest::newRow("plus sign and zeros") << "+007" << 1.0 << "8";
    QTest::newRow("crosses zero") << "1" << -1.5 << "-0.5";
    QTest::newRow("negative increment") << "100" << -0.00001 << "99.99999";
    QTest::newRow("increment rounded to five decimals") << "1" << 0.123456 << "1.12346";
    QTest::newRow("many value decimals kept") << "0.123456789" << 1.0 << "1.123456789";
    QTest::newRow("exponent form") << "1e3" << 0.2 << "1000.2";
    QTest::newRow("negative exponent") << "2.5E-1" << 0.5 << "0.75";
    QTest::newRow("nan stays nan") << "nan" << 1.0 << "nan";
    QTest::newRow("infinity") << "-inf" << 1.0 << "-inf";
    QTest::newRow("empty") << "" << 1.0 << QString();
    QTest::newRow("word") << "abc" << 1.0 << QString();
    QTest::newRow("unit suffix") << "12px" << 1.0 << QString();
    QTest::newRow("decimal comma") << "1,5" << 1.0 << QString();
    QTest::newRow("overflowing numeral") << "1" + QString(400, '0') << 1.0 << QString();
}

void tst_Adjustment::newValueText()
{
    QFETCH(QString, value);
    QFETCH(double, increment);
    QFETCH(QString, expected);
    AdjustmentRule rule;
    rule.attributeName = "x";
    rule.increment = AdjustmentRule::incrementFromSpinBox(increment);
    const std::optional<QString> adjusted = rule.adjustedValue(value);
    QCOMPARE(adjusted.value_or(QString()), expected);
}

void tst_Adjustment::bounds_data()
{
    QTest::addColumn<bool>("useAbove");
    QTest::addColumn<double>("above");
    QTest::addColumn<bool>("useBelow");
    QTest::addColumn<double>("below");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("qualifies");

    QTest::newRow("no bounds") << false << 0.0 << false << 0.0 << -5.0 << true;
    QTest::newRow("above, equal") << true << 5.0 << false << 0.0 << 5.0 << false;
    QTest::newRow("below, equal") << false << 0.0 << true << 15.0 << 15.0 << false;
    QTest::newRow("between") << true << 5.0 << true << 15.0 << 10.0 << true;
    QTest::newRow("bounds crossed") << true << 15.0 << true << 5.0 << 10.0 << false;
    QTest::newRow("bounds equal") << true << 5.0 << true << 5.0 << 5.0 << false;
    QTest::newRow("nan, no bounds") << false << 0.0 << false << 0.0 << qQNaN() << true;
    QTest::newRow("nan, above") << true << -1e9 << false << 0.0 << qQNaN() << false;
}

void tst_Adjustment::bounds()
{
    QFETCH(bool, useAbove);
    QFETCH(double, above);
    QFETCH(bool, useBelow);
    QFETCH(double, below);
    QFETCH(double, value);
    AdjustmentRule rule;
    rule.useAbove = useAbove;
    rule.above = above;
    rule.useBelow = useBelow;
    rule.below = below;
    QTEST(rule.qualifies(value), "qualifies");
}

void tst_Adjustment::walk_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<double>("increment");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("adjusted");

    // Bounds 5 < v < 15 apply to every row.
    QTest::newRow("worked example")
        << R"(<r x="5"><a x="10"/><b x="15"/><c x="abc"><d x="7"/></c></r>)"
        << "x" << 2.5 << R"(<r x="5"><a x="12.5"/><b x="15"/><c x="abc"><d x="9.5"/></c></r>)" << 2;
    QTest::newRow("nested in elements without the attribute")
        << R"(<r><a><b><c x="6"/></b></a><e x="8"/></r>)"
        << "x" << 1.0 << R"(<r><a><b><c x="7"/></b></a><e x="9"/></r>)" << 2;
    QTest::newRow("thresholds see the old value") << R"(<r><a x="14"/></r>)"
                                                  << "x" << 10.0 << R"(<r><a x="24"/></r>)" << 1;
    QTest::newRow("only the named attribute")
        << R"(<r><a x="6" y="6" X="6"/></r>)"
        << "x" << 1.0 << R"(<r><a x="7" y="6" X="6"/></r>)" << 1;
    QTest::newRow("prefix as written")
        << R"(<r xmlns:g="urn:g"><a g:x="6" x="6"/></r>)"
        << "g:x" << 1.0 << R"(<r xmlns:g="urn:g"><a g:x="7" x="6"/></r>)" << 1;
    QTest::newRow("non-element nodes visited, unchanged")
        << R"(<r><!--x="6"--><?p x="6"?><![CDATA[<a x="6"/>]]>t<a x="6">u</a></r>)"
        << "x" << 1.0 << R"(<r><!--x="6"--><?p x="6"?><![CDATA[<a x="6"/>]]>t<a x="7">u</a></r>)"
        << 1;
    QTest::newRow("markup from an entity is expanded")
        << R"(<!DOCTYPE r [<!ENTITY e '<a x="6"/>'>]><r>&e;<b x="6"/></r>)"
        << "x" << 1.0 << R"(<!DOCTYPE r [<!ENTITY e '<a x="6"/>'>]><r><a x="7"/><b x="7"/></r>)"
        << 2;
}

void tst_Adjustment::walk()
{
    QFETCH(QString, source);
    QFETCH(QString, attribute);
    QFETCH(double, increment);
    QFETCH(QString, expected);
    AdjustmentRule rule;
    rule.attributeName = attribute;
    rule.increment = AdjustmentRule::incrementFromSpinBox(increment);
    rule.useAbove = rule.useBelow = true;
    rule.above = 5;
    rule.below = 15;

    QDomDocument document;
    QVERIFY(document.setContent(source));
    QTEST(adjustAttributes(document.documentElement(), rule), "adjusted");
    QCOMPARE(canonicalXml(document), canonicalXml(expected));
}

QTEST_GUILESS_MAIN(tst_Adjustment)
#include "tst_adjustment.moc"
